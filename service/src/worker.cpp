#include "worker.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

#include "Module_RFID.h"
#include "Module_RFID_ext.h"
#include "debouncer.h"
#include "fleet_token.h"
#include "key_material.h"
#include "log_medium.h"
#include "payloads.h"
#include "rfid_desfire/fleet.h"
#include "rfid_host/reader.h"
#include "rfid_keys/key_file.h"
#include "rfid_serial/serial_port.h"
#include "rfid_serial/unique_fd.h"
#include "service_log.h"
#include "settings.h"
#include "token.h"

namespace rfid_tokend {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFirstRetry{100};
constexpr milliseconds kLongestRetry{2000};
// One part of a verdict's sound: the Elatec reader's beep volume, the VOR
// buzzer's length in reader units. A verdict is one or two parts.
constexpr unsigned char kBeepVolume = 100;
constexpr unsigned char kBuzzerLength = 2;
constexpr std::uint8_t kKeyA = 0;
// The module logs every card request that finds a card. A card that rests
// (seen by two polls in a row) and is known to the debouncer is looked for
// with rfidCardPresent, which logs nothing, at the full pace, so that its
// absence is seen within a poll. A card the debouncer forgot (its token
// could not be made) is tried again as a new tap, with the module's lines,
// but only this often while it rests: at most 3600 / 1.9, about 1900
// entries an hour.
constexpr milliseconds kRestingPoll{1900};
// An empty field that has stayed empty for kIdleAfter is polled at most
// every kIdlePoll (or min_poll_ms, when that is longer): a tap then waits
// up to 150 ms for its poll, plus the exchange that finds the card (about
// 60 ms on Elatec, 30 ms on VOR), within the 0.25 s a tap may take, and the
// idle reader makes a third of the polls. A card seen makes the pace quick
// again at once, so a card that comes back soon after it left is seen at
// the quick pace.
constexpr milliseconds kIdleAfter{2000};
constexpr milliseconds kIdlePoll{150};
// How often the port's path is looked at (gone, or another device now); a
// hang-up of the open port is seen at every poll.
constexpr milliseconds kPathCheckEvery{1000};
// How often the worker tells the service it is alive (see kSignOfLife).
constexpr milliseconds kSignOfLifeEvery{500};
// A reader whose card requests failed this many times in a row (no reply,
// or a port that fails) is down, and polled this seldom until it answers.
constexpr int kFailedExchangesForDown = 3;
constexpr milliseconds kDownPoll{2000};
// After a reply the reply check refused: what a reader that sends an answer
// twice (up to 100 ms apart) needs to have sent it whole, counted from the
// start of the poll, which takes up to 100 ms itself.
constexpr milliseconds kAfterRefusedReply{200};

// What a worker takes from the configuration.
struct Settings {
  explicit Settings(const Config& config)
      : reader(config.readers.at(0)),
        logDir(config.logDir),
        quietWait(config.quietWait),
        quietMs(config.quietMs),
        minPoll(config.minPollMs) {
    debounce.absentPolls = config.debouncePolls;
    debounce.absentTime = milliseconds(config.debounceMs);
  }

  ReaderConfig reader;
  std::string logDir;
  DebounceRule debounce;
  bool quietWait;
  int quietMs;
  milliseconds minPoll;
};

Settings decodeSettings(const std::string& argument) {
  return Settings(decodeWorkerSettings(argument));
}

enum class Sound { kAccepted, kRejected };

class Worker {
 public:
  Worker(Settings settings, int signalFd)
      : settings_(std::move(settings)), signalFd_(signalFd), debouncer_(settings_.debounce) {
    std::memcpy(builtInKeys_, sectorKeyA, sizeof builtInKeys_);
  }

  // The keys of the service's record over the module's built-in ones.
  void useKeys(const KeyMaterial& keys) {
    std::memcpy(sectorKeyA, builtInKeys_, sizeof builtInKeys_);
    if (keys.sectorKeys) rfid_keys::loadIntoModule(*keys.sectorKeys);
    if (keys.fleet) fleetKeys_ = *keys.fleet;
    if (keys.fleet && keys.fleet->desfire) {
      desfireKeys_.aid = keys.fleet->desfire->aid;
      desfireKeys_.readKey = keys.fleet->desfire->readKey;
      desfireKeys_.systemId = keys.fleet->systemId;
    }
  }

  // Takes the records the service has sent and uses the last whole one;
  // false when none came whole.
  bool takeKeys() {
    bool taken = false;
    for (;;) {
      const ssize_t got =
          ::read(kWorkerKeyFd, incoming_.data() + incomingSize_, kKeyRecordSize - incomingSize_);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      incomingSize_ += static_cast<std::size_t>(got);
      if (incomingSize_ < kKeyRecordSize) continue;
      incomingSize_ = 0;
      KeyMaterial keys;
      if (decodeKeyRecord(incoming_, keys)) {
        useKeys(keys);
        taken = true;
      }
      incoming_.wipe();
    }
    return taken;
  }

  int run() {
    milliseconds retry = kFirstRetry;
    // Signals and commands are read by the waits (awaitInputs), when they
    // are there.
    while (!stopping_) {
      if (!port_.valid()) {
        std::string fault;
        if (!openPort(fault)) {
          report(State::kDown, fault);
          waitFor(retry);
          retry = std::min(retry * 2, kLongestRetry);
          continue;
        }
        retry = kFirstRetry;
        report(State::kUp, "");
      }
      // One part of a sound pattern at a time, with a poll between parts
      // (after the Elatec reader's beep and pause, when it takes requests
      // again): a verdict never keeps the reader from seeing a card leave.
      if (soundPartDue()) playSoundPart();
      waitForNextPoll();
      if (!soundPartDue() && SteadyClock::now() >= readerBusyUntil_) {
        pollCard();
        polledSincePart_ = true;
      }
    }
    return 0;
  }

 private:
  enum class State { kUnknown, kUp, kDown };

  int fd() const { return port_.get(); }

  bool openPort(std::string& fault) {
    port_ = rfid_serial::openSerialPort(settings_.reader.path, settings_.reader.baud, fault);
    // A write to a reader that takes no more bytes fails at once instead of
    // waiting forever: the module then reports a failed exchange. Reads
    // return at once either way.
    if (port_.valid()) ::fcntl(fd(), F_SETFL, ::fcntl(fd(), F_GETFL) | O_NONBLOCK);
    if (port_.valid()) reader_ = rfid_host::makeReader(fd(), settings_.reader.model, kKeyA);
    struct stat opened {};
    if (port_.valid() && ::fstat(fd(), &opened) == 0) portDevice_ = opened.st_rdev;
    portHungUp_ = false;
    lastPathCheck_ = SteadyClock::now();
    lastSighting_ = lastPathCheck_;  // quick polls at first
    return port_.valid();
  }

  // Why the port cannot take a request now, or nothing when it can: a
  // hang-up seen by the last wait, or, at most every kPathCheckEvery, a
  // path that is gone or leads elsewhere.
  std::optional<std::string> portFault() {
    if (portHungUp_) return std::string("the port hung up (reader unplugged)");
    const auto now = SteadyClock::now();
    if (now - lastPathCheck_ < kPathCheckEvery) return std::nullopt;
    lastPathCheck_ = now;
    struct stat current {};
    if (::stat(settings_.reader.path.c_str(), &current) != 0) {
      return "the path " + settings_.reader.path + " is gone";
    }
    if (S_ISCHR(current.st_mode) && current.st_rdev != portDevice_) {
      return "the path " + settings_.reader.path + " now leads to another device";
    }
    return std::nullopt;
  }

  // One wait of up to `timeout` for a signal, a command or a hang-up of the
  // port, all in one poll; reads only what is there.
  void awaitInputs(milliseconds timeout) {
    pollfd fds[3] = {{signalFd_, POLLIN, 0}, {kWorkerCommandFd, POLLIN, 0}, {fd(), 0, 0}};
    const nfds_t count = port_.valid() ? 3 : 2;
    const int woken = ::poll(fds, count, static_cast<int>(timeout.count()));
    if (woken < 0) {
      if (errno != EINTR && port_.valid()) portPollFault_ = strerror(errno);
      return;
    }
    if (fds[0].revents != 0) readSignals();
    if (fds[1].revents != 0) readCommands();
    if (count == 3 && (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) portHungUp_ = true;
    inputsFresh_ = true;
  }

  // True when a module call may go out: no stop is pending and the port is
  // alive. A dead port is closed and reported, so that no call goes out
  // until it has been opened again. `checked`: the inputs were just looked
  // at and no module call went out since.
  bool ready(bool checked = false) {
    signOfLife();
    if (!checked) awaitInputs(milliseconds(0));
    inputsFresh_ = false;
    if (stopping_ || !port_.valid()) return false;
    auto fault = portFault();
    if (!fault && !portPollFault_.empty()) fault = "the port cannot be polled: " + portPollFault_;
    if (fault) {
      port_.reset();
      portHungUp_ = false;
      portPollFault_.clear();
      report(State::kDown, *fault);
      return false;
    }
    return true;
  }

  // A card that rests and that the debouncer holds: looked for without
  // the module's log lines, at the full pace (see kRestingPoll).
  bool restingKnownCard() const {
    return restingCard_ && lastCard_ && debouncer_.holds(*lastCard_);
  }

  void pollCard() {
    if (!ready(inputsFresh_)) return;
    lastPoll_ = SteadyClock::now();
    // Serial lengths other than 4 or 7 (the Elatec reader reports such
    // cards as found, without a serial number) count as no card: no token.
    Bytes found;
    const bool seen = restingKnownCard() ? reader_->present(found) : reader_->identify(found);
    if (!judgeExchange(rfidLastExchange())) return;
    // A reply that was not one whole frame says nothing about the field:
    // the card there neither arrives nor leaves with it. The next poll
    // comes once the rest of whatever broke it (a reply sent twice) has
    // arrived, to be dropped before that request goes out.
    refusedReply_ = rfidLastReplyRefused() != 0;
    if (refusedReply_) {
      restingCard_ = false;
      return;
    }
    std::optional<Bytes> serial;
    if (seen) serial = std::move(found);
    // A reader that went away during the exchange is reported down rather
    // than taken to have an empty field. Unless another module call follows,
    // this check also serves the next poll's.
    if (!ready()) return;
    inputsFresh_ = true;

    std::optional<std::string> card;
    if (serial) card = serialToken(*serial, false);
    if (!card) warnedCard_.reset();
    restingCard_ = card && card == lastCard_;
    if (card) lastSighting_ = lastPoll_;
    lastCard_ = card;
    for (const Debouncer::Event& event : debouncer_.poll(card, SteadyClock::now())) {
      if (event.kind == Debouncer::Event::Kind::kRemoved) {
        const auto token = published_.find(event.card);
        if (token == published_.end()) continue;
        const ReaderEvent removed{ReaderEvent::Kind::kRemoved, token->second, "", ""};
        published_.erase(token);
        send(removed);
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
      send({ReaderEvent::Kind::kToken, *value, settings_.reader.tokenType, ""});
      haltPublishedCard();
    }
  }

  // A reader that answers nothing, or whose port fails, gives no card; after
  // kFailedExchangesForDown card requests in a row it is down, with the
  // reason, and up again at its first answer. False while it is down.
  bool judgeExchange(int received) {
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
  void haltPublishedCard() {
    if (ready()) (void)reader_->halt();
  }

  // Waits until the next poll is due: the shortest interval after the last
  // poll began, a forgotten resting card's longer one, or the end of the
  // reader's beep. Returns early for a sound part due, a stop or a hang-up.
  void waitForNextPoll() {
    const bool slow = restingCard_ && !restingKnownCard();
    const bool idle = !lastCard_ && lastPoll_ - lastSighting_ >= kIdleAfter;
    const milliseconds interval = state_ == State::kDown ? kDownPoll
                                  : slow                 ? kRestingPoll
                                  : refusedReply_ ? std::max(settings_.minPoll, kAfterRefusedReply)
                                  : idle          ? std::max(settings_.minPoll, kIdlePoll)
                                                  : settings_.minPoll;
    const auto due = std::max(lastPoll_ + interval, readerBusyUntil_);
    while (!stopping_ && !soundPartDue() && !portHungUp_) {
      signOfLife();
      const auto left = std::chrono::ceil<milliseconds>(due - SteadyClock::now());
      if (left.count() <= 0) return;
      awaitInputs(std::min(left, kSignOfLifeEvery));
    }
  }

  bool soundPartDue() const {
    return soundPartsLeft_ > 0 && polledSincePart_ && port_.valid() && !stopping_ &&
           SteadyClock::now() >= readerBusyUntil_;
  }

  // The token of the card in the field. Empty, with `fault` set, when the
  // card memory could not be read or shown; `fault` stays empty when the
  // port went away or a stop is pending.
  std::optional<std::string> makeToken(const Bytes& serial, std::string& fault) {
    const ReaderConfig& reader = settings_.reader;
    if (!reader.blockSource) {
      return reader.tokenPrefix + serialToken(serial, reader.reverseBytes.value_or(false));
    }
    const BlockSource& source = *reader.blockSource;
    if (reader_->needsLogin()) {
      if (!ready()) return std::nullopt;
      if (!reader_->login(source.block)) {
        fault = "login to the sector of block " + std::to_string(source.block) + " refused";
        return std::nullopt;
      }
    }
    Bytes data;
    for (int block = source.block; block < source.block + source.count; ++block) {
      rfid_host::Block bytes{};
      if (!ready()) return std::nullopt;
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
  void fleetTap(const std::string& card, const Bytes& serial, const std::string& type) {
    const ReaderConfig& reader = settings_.reader;
    PortFleetReader port(*reader_, [this] { return ready(); });
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
  void desfireTap(const std::string& card, const Bytes& serial) {
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
  rfid_desfire::FleetRead readDesfire(const Bytes& serial) {
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
      if (gone || !ready()) {
        gone = true;
        return std::nullopt;
      }
      auto reply = exchange(apdu);
      // No reply, or one the reply check refused, says nothing about the
      // card: without GetSAK a refused first exchange would otherwise read
      // as a card that takes no ISO 14443-4 command. The next poll waits
      // out what broke it, as after a refused card request.
      const bool refused = rfidLastReplyRefused() != 0;
      refusedReply_ = refusedReply_ || refused;
      if (!reply && (refused || rfidLastExchange() <= 0 || !ready())) gone = true;
      return reply;
    };
    std::optional<std::uint8_t> sak;
    if (settings_.reader.desfireGetSak) {
      std::uint8_t value = 0;
      if (!ready() || !reader_->selectedCardSak(value)) return lost;
      sak = value;
    }
    const rfid_desfire::FleetRead read =
        rfid_desfire::readFleetCard(desfireKeys_, serial, sak, transceive);
    return gone ? lost : read;
  }

  void publishSerial(const std::string& card, const Bytes& serial) {
    const ReaderConfig& reader = settings_.reader;
    publish(card, reader.tokenPrefix + serialToken(serial, reader.reverseBytes.value_or(false)),
            "ISO14443");
  }

  // One event, one Warn line and the rejected sound per tap: the card stays
  // known to the debouncer until it has left the field.
  void refuse(const Bytes& serial, const std::string& reason) {
    const ReaderConfig& reader = settings_.reader;
    const std::string serialHex = serialToken(serial, false);
    send({ReaderEvent::Kind::kRefused, serialHex, "", reason});
    logLine(Level::kWarn, "reader %s: card %s refused (%s): no token", reader.name.c_str(),
            serialHex.c_str(), reason.c_str());
    if (reader.refusedSound.value_or(true)) startSound(Sound::kRejected);
  }

  void publish(const std::string& card, const std::string& value, const std::string& type) {
    published_[card] = value;
    send({ReaderEvent::Kind::kToken, value, type, ""});
  }

  // A verdict's pattern replaces what is left of the one before.
  void startSound(Sound sound) {
    soundPartsLeft_ = sound == Sound::kAccepted ? 1 : 2;
    polledSincePart_ = true;
  }

  void playSoundPart() {
    if (!ready()) return;
    --soundPartsLeft_;
    polledSincePart_ = false;
    // The value of a sound part is the one thing the models read apart.
    (void)reader_->startSound(settings_.reader.model == ReaderModel::kVor ? kBuzzerLength
                                                                          : kBeepVolume);
    if (const unsigned rest = reader_->soundRestUs()) {
      readerBusyUntil_ = SteadyClock::now() + std::chrono::microseconds(rest);
    }
  }

  void report(State state, const std::string& reason) {
    if (state == state_) return;
    state_ = state;
    ReaderEvent event;
    event.kind = state == State::kUp ? ReaderEvent::Kind::kUp : ReaderEvent::Kind::kDown;
    event.reason = reason;
    if (state == State::kDown) {
      // The card is gone with the reader; it counts again when it is back.
      for (const auto& entry : published_) {
        send({ReaderEvent::Kind::kRemoved, entry.second, "", ""});
      }
      published_.clear();
      debouncer_ = Debouncer(settings_.debounce);
      soundPartsLeft_ = 0;
      readerBusyUntil_ = {};
    }
    send(event);
  }

  void send(const ReaderEvent& event) { sendLine(encodeReaderEvent(event) + "\n"); }

  void signOfLife() {
    reportLogMedium();
    if (SteadyClock::now() - lastLine_ >= kSignOfLifeEvery) {
      sendLine(std::string(kSignOfLife) + "\n");
    }
  }

  // The service reports the log medium for every process: it hears of each
  // change this worker's log sees.
  void reportLogMedium() {
    unsigned long lost = 0;
    const int why = rfidLogMediumState(&lost);
    if (why == logMedium_) return;
    logMedium_ = why;
    sendLine(logMediumLine(why, lost) + "\n");
  }

  void sendLine(const std::string& line) {
    lastLine_ = SteadyClock::now();
    std::size_t written = 0;
    while (written < line.size()) {
      const ssize_t put = ::write(kWorkerEventFd, line.data() + written, line.size() - written);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        // The service is gone: nobody to report to.
        stopping_ = true;
        return;
      }
      written += static_cast<std::size_t>(put);
    }
  }

  void readSignals() {
    signalfd_siginfo info{};
    while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (info.ssi_signo == SIGHUP) {
        if (takeKeys()) {
          logLine(Level::kInfo, "reader %s: key file reloaded", settings_.reader.name.c_str());
        }
      } else {
        stopping_ = true;
      }
    }
  }

  void readCommands() {
    char chunk[256];
    for (;;) {
      const ssize_t got = ::read(kWorkerCommandFd, chunk, sizeof chunk);
      if (got == 0) {
        stopping_ = true;  // the service is gone
        return;
      }
      if (got < 0) return;
      commands_.append(chunk, static_cast<std::size_t>(got));
      for (std::size_t end; (end = commands_.find('\n')) != std::string::npos;) {
        const std::string command = commands_.substr(0, end);
        commands_.erase(0, end + 1);
        if (command == kCommandAccepted) startSound(Sound::kAccepted);
        if (command == kCommandRejected) startSound(Sound::kRejected);
      }
      if (commands_.size() > sizeof chunk) commands_.clear();  // no command is that long
    }
  }

  // Waits without a module call, waking for signals and commands, and to
  // show that it is alive.
  void waitFor(milliseconds duration) {
    const auto until = SteadyClock::now() + duration;
    while (!stopping_) {
      signOfLife();
      const auto left = std::chrono::duration_cast<milliseconds>(until - SteadyClock::now());
      if (left.count() <= 0) return;
      awaitInputs(std::min(left + milliseconds(1), kSignOfLifeEvery));
    }
  }

  Settings settings_;
  int signalFd_;
  Debouncer debouncer_;
  rfid_serial::UniqueFd port_;
  // The reader on port_, made when it opens. It outlives a port closed by a
  // fault until the next open, so that a read in flight never holds a
  // reader that is gone; ready() keeps any call from reaching it meanwhile.
  std::unique_ptr<rfid_host::Reader> reader_;
  dev_t portDevice_ = 0;
  State state_ = State::kUnknown;
  bool stopping_ = false;
  int soundPartsLeft_ = 0;                     // of the latest verdict's pattern
  bool polledSincePart_ = true;                // a poll came after the last part
  SteadyClock::time_point readerBusyUntil_{};  // the Elatec reader's beep and pause
  bool portHungUp_ = false;                    // seen by the last wait
  std::string portPollFault_;
  bool inputsFresh_ = false;  // looked at by a wait, no module call since
  SteadyClock::time_point lastPathCheck_{};
  SteadyClock::time_point lastSighting_{};  // the last poll that saw a card
  SteadyClock::time_point lastLine_{};      // of the lines to the service
  std::string commands_;
  std::map<std::string, std::string> published_;  // card -> the token it gave
  std::optional<std::string> warnedCard_;
  std::optional<std::string> lastCard_;  // what the last poll saw
  bool restingCard_ = false;             // the last two polls saw the same card
  int failedExchanges_ = 0;              // card requests in a row without a reply
  bool refusedReply_ = false;            // the last card request's reply was refused
  int logMedium_ = 0;                    // rfidLogMediumState() as last reported
  SteadyClock::time_point lastPoll_{};
  unsigned char builtInKeys_[sizeof sectorKeyA / sizeof sectorKeyA[0]][sizeof sectorKeyA[0]];
  rfid_cardauth::FleetKeys fleetKeys_;
  rfid_desfire::ReaderKeys desfireKeys_;
  SecretPages incoming_{kKeyRecordSize};  // a key record as it arrives
  std::size_t incomingSize_ = 0;
};

}  // namespace

std::string workerArgument(const Config& config, std::size_t index) {
  return encodeWorkerSettings(config, index);
}

int runWorker(const std::string& argument) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::optional<Settings> decoded;
  try {
    decoded.emplace(decodeSettings(argument));
  } catch (const std::exception& error) {  // see decodeWorkerSettings
    std::fprintf(stderr, "rfid-tokend: bad worker settings: %s\n", error.what());
    return 1;
  }
  Settings& settings = *decoded;
  // The configuration was checked: the directory fits, the setting is valid.
  if (!settings.logDir.empty()) (void)rfidSetLogDirectory(settings.logDir.c_str());
  // The quiet wait of the service is the module's frame wait: the quiet
  // wait that also ends once the reply is as long as it announced.
  (void)rfidSetReplyWait(settings.quietWait ? RFID_REPLY_WAIT_FRAME : RFID_REPLY_WAIT_FIXED,
                         settings.quietMs);

  // Signals are read from a descriptor between module calls, never taken by
  // a handler: a handler would cut the fixed wait of the exchange in flight.
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, signal);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const rfid_serial::UniqueFd signalFd(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
  ::fcntl(kWorkerCommandFd, F_SETFL, ::fcntl(kWorkerCommandFd, F_GETFL) | O_NONBLOCK);

  Worker worker(std::move(settings), signalFd.get());
  // The service wrote the keys in force before this process started.
  ::fcntl(kWorkerKeyFd, F_SETFL, ::fcntl(kWorkerKeyFd, F_GETFL) | O_NONBLOCK);
  if (!worker.takeKeys()) {
    logLine(Level::kError, "reader worker: no keys from the service");
    return kWorkerKeyFault;
  }
  return worker.run();
}

}  // namespace rfid_tokend
