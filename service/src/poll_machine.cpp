#include "poll_machine.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "Module_RFID_ext.h"
#include "fleet_token.h"
#include "service_log.h"

namespace rfid_tokend {
namespace {

// One part of a verdict's sound: the Elatec reader's beep volume, the VOR
// buzzer's length in reader units. A verdict is one or two parts.
constexpr unsigned char kBeepVolume = 100;
constexpr unsigned char kBuzzerLength = 2;

}  // namespace

int ModuleExchangeReport::received() const {
  return rfidLastExchange();
}

bool ModuleExchangeReport::refused() const {
  return rfidLastReplyRefused() != 0;
}

PollMachine::PollMachine(PollSettings settings, Clock clock, PollHost& host,
                         const ExchangeReport& exchange)
    : settings_(std::move(settings)),
      clock_(std::move(clock)),
      host_(host),
      exchange_(exchange),
      debouncer_(settings_.debounce) {}

void PollMachine::attach(const rfid_host::Reader& reader) {
  reader_ = &reader;
  lastSighting_ = clock_();  // quick polls at first
  // Failures on the port that closed say nothing about the one just
  // opened: a reader is down after kFailedExchangesForDown failures in a
  // row on one port.
  failedExchanges_ = 0;
}

void PollMachine::useFleetKeys(const rfid_cardauth::FleetKeys& keys) {
  fleetKeys_ = keys;
  if (keys.desfire) {
    desfireKeys_.aid = keys.desfire->aid;
    desfireKeys_.readKey = keys.desfire->readKey;
    desfireKeys_.systemId = keys.systemId;
  }
}

void PollMachine::readerUp() {
  report(State::kUp, "");
}

void PollMachine::readerDown(const std::string& reason) {
  report(State::kDown, reason);
}

// A card that rests and that the debouncer holds: looked for without the
// module's log lines, at the full pace (see kRestingPoll).
bool PollMachine::restingKnownCard() const {
  return restingCard_ && lastCard_ && debouncer_.holds(*lastCard_);
}

SteadyClock::time_point PollMachine::nextPollAt() const {
  const bool slow = restingCard_ && !restingKnownCard();
  const bool idle = !lastCard_ && lastPoll_ - lastSighting_ >= kIdleAfter;
  const milliseconds interval = state_ == State::kDown ? kDownPoll
                                : slow                 ? kRestingPoll
                                : refusedReply_ ? std::max(settings_.minPoll, kAfterRefusedReply)
                                : idle          ? std::max(settings_.minPoll, kIdlePoll)
                                                : settings_.minPoll;
  return std::max(lastPoll_ + interval, readerBusyUntil_);
}

void PollMachine::poll() {
  if (reader_ == nullptr || !host_.mayPoll()) return;
  polledSincePart_ = true;
  lastPoll_ = clock_();
  // Serial lengths other than 4 or 7 (the Elatec reader reports such
  // cards as found, without a serial number) count as no card: no token.
  Bytes found;
  const bool seen = restingKnownCard() ? reader_->present(found) : reader_->identify(found);
  if (!judgeExchange(exchange_.received())) return;
  // A reply that was not one whole frame says nothing about the field:
  // the card there neither arrives nor leaves with it. The next poll
  // comes once the rest of whatever broke it (a reply sent twice) has
  // arrived, to be dropped before that request goes out.
  refusedReply_ = exchange_.refused();
  if (refusedReply_) {
    restingCard_ = false;
    return;
  }
  std::optional<Bytes> serial;
  if (seen) serial = std::move(found);
  // A reader that went away during the exchange is reported down rather
  // than taken to have an empty field. Unless another module call follows,
  // this check also serves the next poll's.
  if (!host_.mayCall()) return;
  host_.checkServesNextPoll();

  std::optional<std::string> card;
  if (serial) card = serialToken(*serial, false);
  if (!card) warnedCard_.reset();
  restingCard_ = card && card == lastCard_;
  if (card) lastSighting_ = lastPoll_;
  lastCard_ = card;
  for (const Debouncer::Event& event : debouncer_.poll(card, clock_())) {
    if (event.kind == Debouncer::Event::Kind::kRemoved) {
      const auto token = published_.find(event.card);
      if (token == published_.end()) continue;
      const ReaderEvent removed{ReaderEvent::Kind::kRemoved, token->second, "", ""};
      published_.erase(token);
      host_.send(removed);
      continue;
    }
    if (settings_.reader.token == TokenSource::kFleet) {
      fleetTap(event.card, *serial, settings_.reader.tokenType);
      continue;
    }
    if (settings_.reader.token == TokenSource::kDesfire) {
      desfireTap(event.card, *serial);
      continue;
    }
    std::string fault;
    const auto value = makeToken(*serial, fault);
    if (!value) {
      debouncer_.forget();
      if (!fault.empty() && warnedCard_ != card) {
        logLine(Level::kWarn, "reader %s: no token from the card: %s",
                settings_.reader.name.c_str(), fault.c_str());
        warnedCard_ = card;
      }
      continue;
    }
    published_[event.card] = *value;
    host_.send({ReaderEvent::Kind::kToken, *value, settings_.reader.tokenType, ""});
    haltPublishedCard();
  }
}

// A reader that answers nothing, or whose port fails, gives no card; after
// kFailedExchangesForDown card requests in a row it is down, with the
// reason, and up again at its first answer. False while it is down.
bool PollMachine::judgeExchange(int received) {
  if (received > 0) {
    failedExchanges_ = 0;
    if (state_ == State::kDown) report(State::kUp, "");
    return true;
  }
  if (++failedExchanges_ >= kFailedExchangesForDown) {
    report(State::kDown, received == 0 ? std::string("no reply")
                         : received == -EAGAIN
                             ? std::string("the reader takes no bytes")
                             : "the port fails (" + std::string(strerror(-received)) + ")");
  }
  return state_ != State::kDown;
}

// The module logs every card request that finds a card. A VOR reader's
// card, once its token is out, is halted: it stays silent to the card
// request (its polls log nothing, and it counts as removed after the
// debounce time) until it leaves the field and comes back, when it
// answers as a new tap. The Elatec reader has no halt and sends nothing.
void PollMachine::haltPublishedCard() {
  if (host_.mayCall()) (void)reader_->halt();
}

// The token of the card in the field. Empty, with `fault` set, when the
// card memory could not be read or shown; `fault` stays empty when the
// port went away or a stop is pending.
std::optional<std::string> PollMachine::makeToken(const Bytes& serial, std::string& fault) {
  const ReaderConfig& reader = settings_.reader;
  if (!reader.blockSource) {
    return reader.tokenPrefix + serialToken(serial, reader.reverseBytes.value_or(false));
  }
  const BlockSource& source = *reader.blockSource;
  if (reader_->needsLogin()) {
    if (!host_.mayCall()) return std::nullopt;
    if (!reader_->login(source.block)) {
      fault = "login to the sector of block " + std::to_string(source.block) + " refused";
      return std::nullopt;
    }
  }
  Bytes data;
  for (int block = source.block; block < source.block + source.count; ++block) {
    rfid_host::Block bytes{};
    if (!host_.mayCall()) return std::nullopt;
    if (!reader_->read(block, bytes)) {
      fault = "block " + std::to_string(block) + " could not be read";
      return std::nullopt;
    }
    data.insert(data.end(), bytes.begin(), bytes.end());
  }
  const auto text = blockToken(data, source.format);
  if (!text) {
    fault = "the blocks hold no printable text";
    return std::nullopt;
  }
  return reader.tokenPrefix + *text;
}

// A fleet card gives its verified token id. A card refused gives no
// token: one event, one Warn line and the rejected sound per tap, since it
// stays known to the debouncer until it has left the field. A card without
// a fleet token (login, layout) goes by its serial number where the reader
// falls back to that; a failed MAC or an unknown key id never does.
void PollMachine::fleetTap(const std::string& card, const Bytes& serial, const std::string& type) {
  const ReaderConfig& reader = settings_.reader;
  PortFleetReader port(*reader_, [this] { return host_.mayCall(); });
  const FleetRead read = readFleetToken(fleetKeys_, serial, port);
  if (read.outcome == FleetRead::Outcome::kLost) {
    debouncer_.forget();  // read again once the port is back
    return;
  }
  if (read.outcome == FleetRead::Outcome::kToken) {
    publish(card, reader.tokenPrefix + fleetTokenText(read.tokenId, reader.tokenFormat), type);
    return;
  }
  if (reader.fallbackSerial && (read.reason == "login" || read.reason == "layout")) {
    publishSerial(card, serial);
    return;
  }
  refuse(serial, read.reason);
}

// A DESFire fleet card gives its serial number or its file's token id once
// it proved its read key. A card that is no DESFire card goes on to the
// Classic fleet read (fallback = "fleet"); one that is no DESFire card or
// lacks the application goes by its serial number where the reader falls
// back to that. Every other verdict is refused as fleet cards are: a card
// that failed authentication never yields a token.
void PollMachine::desfireTap(const std::string& card, const Bytes& serial) {
  const ReaderConfig& reader = settings_.reader;
  using rfid_desfire::ReadVerdict;
  const rfid_desfire::FleetRead read = readDesfire(serial);
  const ReadVerdict verdict = read.verdict;
  if (verdict == ReadVerdict::kLost) {
    debouncer_.forget();  // no verdict: read again at the next poll
    return;
  }
  if (verdict == ReadVerdict::kValid) {
    publish(card,
            reader.tokenPrefix + (reader.desfireToken == DesfireToken::kUid
                                      ? serialToken(serial, reader.reverseBytes.value_or(false))
                                      : fleetTokenText(read.tokenId, reader.tokenFormat)),
            reader.tokenType);
    return;
  }
  if (reader.fallbackFleet && verdict == ReadVerdict::kNotDesfire) {
    fleetTap(card, serial, reader.fleetTokenType);
    return;
  }
  if (reader.fallbackSerial &&
      (verdict == ReadVerdict::kNotDesfire || verdict == ReadVerdict::kNoApp)) {
    publishSerial(card, serial);
    return;
  }
  refuse(serial, rfid_desfire::readVerdictName(verdict));
}

// The DESFire read of the card the tag search just found. A verdict
// reached while the port went away or a stop came is no verdict (kLost).
rfid_desfire::FleetRead PollMachine::readDesfire(const Bytes& serial) {
  const rfid_desfire::FleetRead lost;
  bool gone = false;
  const rfid_host::Reader& card = *reader_;
  const auto exchange = [&card](const rfid_desfire::Bytes& apdu) -> std::optional<Bytes> {
    unsigned char rx[RFID_ELATEC_MAX_RX];
    const int count = card.transceive(apdu.data(), static_cast<int>(apdu.size()), rx, sizeof rx);
    if (count < 0) return std::nullopt;
    Bytes reply(rx, rx + count);
    OPENSSL_cleanse(rx, sizeof rx);
    return reply;
  };
  const rfid_desfire::Transceive transceive =
      [&](const rfid_desfire::Bytes& apdu) -> std::optional<rfid_desfire::Bytes> {
    if (gone || !host_.mayCall()) {
      gone = true;
      return std::nullopt;
    }
    auto reply = exchange(apdu);
    // No reply, or one the reply check refused, says nothing about the
    // card: without GetSAK a refused first exchange would otherwise read
    // as a card that takes no ISO 14443-4 command. The next poll waits
    // out what broke it, as after a refused card request.
    const bool refused = exchange_.refused();
    refusedReply_ = refusedReply_ || refused;
    if (!reply && (refused || exchange_.received() <= 0 || !host_.mayCall())) gone = true;
    return reply;
  };
  std::optional<std::uint8_t> sak;
  if (settings_.reader.desfireGetSak) {
    std::uint8_t value = 0;
    if (!host_.mayCall() || !reader_->selectedCardSak(value)) return lost;
    sak = value;
  }
  const rfid_desfire::FleetRead read =
      rfid_desfire::readFleetCard(desfireKeys_, serial, sak, transceive);
  return gone ? lost : read;
}

void PollMachine::publishSerial(const std::string& card, const Bytes& serial) {
  const ReaderConfig& reader = settings_.reader;
  publish(card, reader.tokenPrefix + serialToken(serial, reader.reverseBytes.value_or(false)),
          "ISO14443");
}

// One event, one Warn line and the rejected sound per tap: the card stays
// known to the debouncer until it has left the field.
void PollMachine::refuse(const Bytes& serial, const std::string& reason) {
  const ReaderConfig& reader = settings_.reader;
  const std::string serialHex = serialToken(serial, false);
  host_.send({ReaderEvent::Kind::kRefused, serialHex, "", reason});
  logLine(Level::kWarn, "reader %s: card %s refused (%s): no token", reader.name.c_str(),
          serialHex.c_str(), reason.c_str());
  if (reader.refusedSound.value_or(true)) startSound(Sound::kRejected);
}

void PollMachine::publish(const std::string& card, const std::string& value,
                          const std::string& type) {
  published_[card] = value;
  host_.send({ReaderEvent::Kind::kToken, value, type, ""});
}

void PollMachine::startSound(Sound sound) {
  soundPartsLeft_ = sound == Sound::kAccepted ? 1 : 2;
  polledSincePart_ = true;
}

// After the Elatec reader's beep and pause, when it takes requests again.
bool PollMachine::soundPartDue() const {
  return soundPartsLeft_ > 0 && polledSincePart_ && clock_() >= readerBusyUntil_;
}

void PollMachine::playSoundPart() {
  if (reader_ == nullptr || !host_.mayCall()) return;
  --soundPartsLeft_;
  polledSincePart_ = false;
  // The value of a sound part is the one thing the models read apart.
  (void)reader_->startSound(settings_.reader.model == ReaderModel::kVor ? kBuzzerLength
                                                                        : kBeepVolume);
  if (const unsigned rest = reader_->soundRestUs()) {
    readerBusyUntil_ = clock_() + std::chrono::microseconds(rest);
  }
}

void PollMachine::report(State state, const std::string& reason) {
  if (state == state_) return;
  state_ = state;
  ReaderEvent event;
  event.kind = state == State::kUp ? ReaderEvent::Kind::kUp : ReaderEvent::Kind::kDown;
  event.reason = reason;
  if (state == State::kDown) {
    // The card is gone with the reader; it counts again when it is back.
    for (const auto& entry : published_) {
      host_.send({ReaderEvent::Kind::kRemoved, entry.second, "", ""});
    }
    published_.clear();
    debouncer_ = Debouncer(settings_.debounce);
    soundPartsLeft_ = 0;
    readerBusyUntil_ = {};
  }
  host_.send(event);
}

}  // namespace rfid_tokend
