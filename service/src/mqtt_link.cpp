#include "mqtt_link.h"

#include <fcntl.h>
#include <malloc.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <system_error>

#include "rfid_serial/unique_fd.h"
#include "service_log.h"

namespace rfid_tokend {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kQosAtLeastOnce = 1;
constexpr int kQosAtMostOnce = 0;
// Between connection attempts: one second, doubling up to four.
constexpr seconds kFirstDelay{1};
constexpr seconds kMaxDelay{4};
// A connection attempt (TCP, TLS handshake, CONNACK) that takes longer than
// the keepalive, or this, has timed out.
constexpr seconds kMaxConnectTime{10};
// How long the network loop waits while connecting, and when connected (a
// publish or a disconnect wakes it at once).
constexpr int kConnectingLoopMs = 100;
constexpr int kConnectedLoopMs = 1000;
// A dropped connection whose DISCONNECT cannot even be written is closed
// after this.
constexpr milliseconds kDropGrace{1000};
// How long a stop waits for the DISCONNECT to be written.
constexpr milliseconds kStopGrace{500};
// Large incoming buffers go back to the system when freed, instead of
// staying in the heap: a message the broker should not have sent leaves
// no trace in the resident size.
constexpr int kMmapThreshold = 128 * 1024;
constexpr char kTrue[] = "true";
constexpr char kFalse[] = "false";
// More tokens than this waiting for the broker means taps far older than any
// sensible max age; the oldest goes first.
constexpr std::size_t kMaxQueuedTokens = 256;

SteadyClock::duration fromSeconds(double value) {
  return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(value));
}

double inSeconds(SteadyClock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

struct Failure {
  LinkCause cause = LinkCause::kOther;
  std::string detail;
};

}  // namespace

// ---- What the network thread shares with the main thread ---------------------

struct MqttLink::Shared {
  struct Delivery {
    enum class Kind { kConnected, kDown, kMessage, kOversized, kPublished };
    Kind kind;
    unsigned generation = 0;
    int code = 0;  // message id when published; size when oversized
    LinkCause cause = LinkCause::kOther;
    std::string topic;
    std::string text;  // the payload, or the detail of a failure
  };

  MqttConfig config;
  rfid_secrets::SecretBuffer password;
  std::string clientId;
  std::string checkTopic;
  std::string heartbeatTopic;
  std::string validationTopic;

  rfid_serial::UniqueFd wakeRead;
  rfid_serial::UniqueFd wakeWrite;
  std::mutex inboxMutex;
  std::vector<Delivery> inbox;

  // The client of the current connection; the main thread publishes on it
  // while holding the mutex, the network thread destroys it holding it.
  std::mutex clientMutex;
  mosquitto* client = nullptr;
  std::atomic<unsigned> generation{0};
  std::atomic<bool> live{false};  // CONNACK success seen, not yet disconnected
  std::atomic<bool> dropRequested{false};

  std::mutex stopMutex;
  std::condition_variable stopSignal;
  bool stopping = false;
  std::promise<void> finished;

  // Network thread only.
  bool answered = false;  // a CONNACK arrived
  bool wasLive = false;
  int refusal = 0;
  std::string tlsError;

  void deliver(Delivery delivery) {
    {
      const std::lock_guard<std::mutex> lock(inboxMutex);
      inbox.push_back(std::move(delivery));
    }
    const char byte = 0;
    (void)!::write(wakeWrite.get(), &byte, 1);  // a full pipe already wakes the reader
  }
  bool stopRequested() {
    const std::lock_guard<std::mutex> lock(stopMutex);
    return stopping;
  }
  // Waits `delay` unless a stop comes first; true when stopping.
  bool waitForStop(SteadyClock::duration delay) {
    std::unique_lock<std::mutex> lock(stopMutex);
    return stopSignal.wait_for(lock, delay, [this] { return stopping; });
  }
};

namespace {

using Shared = MqttLink::Shared;
using Delivery = Shared::Delivery;

Shared& sharedOf(void* self) {
  return *static_cast<Shared*>(self);
}

void onConnect(mosquitto* client, void* self, int code) {
  Shared& shared = sharedOf(self);
  shared.answered = true;
  if (code != 0) {
    shared.refusal = code;
    return;
  }
  shared.wasLive = true;
  shared.live = true;
  mosquitto_subscribe(client, nullptr, shared.heartbeatTopic.c_str(), kQosAtMostOnce);
  if (!shared.validationTopic.empty()) {
    mosquitto_subscribe(client, nullptr, shared.validationTopic.c_str(), kQosAtLeastOnce);
  }
  shared.deliver({Delivery::Kind::kConnected, shared.generation, 0, {}, {}, {}});
}

void onDisconnect(mosquitto*, void* self, int) {
  sharedOf(self).live = false;
}

void onPublish(mosquitto*, void* self, int messageId) {
  Shared& shared = sharedOf(self);
  shared.deliver({Delivery::Kind::kPublished, shared.generation, messageId, {}, {}, {}});
}

// A message over the limit is not even copied: only its size is reported.
void onMessage(mosquitto*, void* self, const mosquitto_message* message) {
  Shared& shared = sharedOf(self);
  std::string topic = message->topic != nullptr ? message->topic : "";
  const auto size = static_cast<std::size_t>(std::max(message->payloadlen, 0));
  if (!incomingPayloadFits(size)) {
    shared.deliver({Delivery::Kind::kOversized,
                    shared.generation,
                    message->payloadlen,
                    LinkCause::kOther,
                    std::move(topic),
                    {}});
    return;
  }
  std::string payload;
  if (message->payload != nullptr) payload.assign(static_cast<const char*>(message->payload), size);
  shared.deliver({Delivery::Kind::kMessage, shared.generation, 0, LinkCause::kOther,
                  std::move(topic), std::move(payload)});
}

// The library reports why a TLS handshake failed only in its log.
void onLog(mosquitto*, void* self, int level, const char* text) {
  Shared& shared = sharedOf(self);
  if ((level & MOSQ_LOG_ERR) != 0 && shared.tlsError.empty() &&
      std::strncmp(text, "OpenSSL Error", 13) == 0) {
    shared.tlsError = text;
  }
}

Failure failureOf(const Shared& shared, int result, int savedErrno) {
  if (shared.refusal != 0) {
    return {causeOfRefusal(shared.refusal), std::string("the broker refused the connection: ") +
                                                mosquitto_reason_string(shared.refusal)};
  }
  Failure failure{causeOfResult(result, savedErrno),
                  result == MOSQ_ERR_ERRNO ? strerror(savedErrno) : mosquitto_strerror(result)};
  if (failure.cause == LinkCause::kTls && !shared.tlsError.empty())
    failure.detail = shared.tlsError;
  return failure;
}

// A fresh client for each connection: a clean session, nothing in flight.
mosquitto* newClient(Shared& shared, Failure& failure) {
  mosquitto* client = mosquitto_new(shared.clientId.c_str(), true, &shared);
  if (client == nullptr) {
    failure = {LinkCause::kOther, "cannot create the MQTT client"};
    return nullptr;
  }
  const MqttConfig& config = shared.config;
  mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_threaded_set(client, true);
  mosquitto_connect_callback_set(client, &onConnect);
  mosquitto_disconnect_callback_set(client, &onDisconnect);
  mosquitto_publish_callback_set(client, &onPublish);
  mosquitto_message_callback_set(client, &onMessage);
  mosquitto_log_callback_set(client, &onLog);
  // The stack stops trusting this provider at once when the connection
  // breaks, instead of waiting for the communication check to time out.
  mosquitto_will_set(client, shared.checkTopic.c_str(), sizeof kFalse - 1, kFalse, kQosAtLeastOnce,
                     false);
  int rc = MOSQ_ERR_SUCCESS;
  if (!config.username.empty()) {
    rc = mosquitto_username_pw_set(client, config.username.c_str(),
                                   config.passwordFile.empty() ? nullptr : shared.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && !config.caFile.empty()) {
    const auto orNull = [](const std::string& text) {
      return text.empty() ? nullptr : text.c_str();
    };
    rc = mosquitto_tls_set(client, config.caFile.c_str(), nullptr, orNull(config.certFile),
                           orNull(config.keyFile), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) rc = MOSQ_ERR_TLS;
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    failure = failureOf(shared, rc, errno);
    mosquitto_destroy(client);
    return nullptr;
  }
  return client;
}

SteadyClock::duration connectTime(const MqttConfig& config) {
  return std::min<SteadyClock::duration>(seconds(config.keepaliveSeconds), kMaxConnectTime);
}

// Runs the client's loop until the connection fails, breaks or is dropped.
Failure runLoop(Shared& shared, mosquitto* client) {
  const auto answerBy = SteadyClock::now() + connectTime(shared.config);
  std::optional<SteadyClock::time_point> dropBy;
  std::optional<SteadyClock::time_point> stopBy;
  for (;;) {
    // An orderly stop lets the loop send the DISCONNECT first, so that the
    // broker does not publish the will as well.
    if (shared.stopRequested()) {
      if (!stopBy) stopBy = SteadyClock::now() + kStopGrace;
      if (!shared.live || SteadyClock::now() >= *stopBy) return {LinkCause::kLost, "stopping"};
    }
    const int rc = mosquitto_loop(client, shared.live ? kConnectedLoopMs : kConnectingLoopMs, 1);
    const int savedErrno = errno;
    if (rc != MOSQ_ERR_SUCCESS) return failureOf(shared, rc, savedErrno);
    const auto now = SteadyClock::now();
    if (!shared.answered && now >= answerBy) {
      return {LinkCause::kTimeout,
              "no answer within " +
                  std::to_string(
                      std::chrono::duration_cast<seconds>(connectTime(shared.config)).count()) +
                  " s"};
    }
    if (shared.dropRequested && !dropBy) dropBy = now + kDropGrace;
    if (dropBy && now >= *dropBy) return {LinkCause::kTimeout, "dropped"};
  }
}

// One connection from the first attempt to its end; true when it got as far
// as a CONNACK that accepted it.
bool runConnection(Shared& shared) {
  const unsigned generation = ++shared.generation;
  shared.answered = false;
  shared.wasLive = false;
  shared.refusal = 0;
  shared.tlsError.clear();
  shared.dropRequested = false;
  Failure failure;
  mosquitto* client = newClient(shared, failure);
  if (client != nullptr) {
    {
      const std::lock_guard<std::mutex> lock(shared.clientMutex);
      shared.client = client;
    }
    mosquitto_property* properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                 static_cast<std::uint32_t>(kMaxIncomingPacket));
    errno = 0;
    const int rc = mosquitto_connect_bind_v5(client, shared.config.host.c_str(), shared.config.port,
                                             shared.config.keepaliveSeconds, nullptr, properties);
    const int savedErrno = errno;
    mosquitto_property_free_all(&properties);
    failure = rc == MOSQ_ERR_SUCCESS ? runLoop(shared, client) : failureOf(shared, rc, savedErrno);
    shared.live = false;
    {
      const std::lock_guard<std::mutex> lock(shared.clientMutex);
      shared.client = nullptr;
    }
    mosquitto_destroy(client);
  }
  shared.deliver({Delivery::Kind::kDown,
                  generation,
                  shared.wasLive ? 1 : 0,
                  failure.cause,
                  {},
                  failure.detail});
  return shared.wasLive;
}

void runNetwork(const std::shared_ptr<Shared>& shared) {
  SteadyClock::duration delay = kFirstDelay;
  while (!shared->stopRequested()) {
    if (runConnection(*shared)) delay = kFirstDelay;
    if (shared->waitForStop(delay)) break;
    delay = std::min<SteadyClock::duration>(2 * delay, kMaxDelay);
  }
  shared->finished.set_value();
}

}  // namespace

// ---- Main thread ----------------------------------------------------------------

MqttLink::MqttLink(const MqttConfig& config, rfid_secrets::SecretBuffer password)
    : config_(config),
      tokenTopic_(config.topicPrefix + "/m2e/provided_token"),
      heartbeatTopic_(config.topicPrefix + "/e2m/heartbeat"),
      maxAge_(fromSeconds(config.maxTokenAgeSeconds)),
      checkInterval_(fromSeconds(config.communicationCheckSeconds)),
      // A token without its PUBACK after half its age means a dead
      // connection: noticed while the token may still be sent on a fresh one.
      ackTimeout_(std::clamp<SteadyClock::duration>(maxAge_ / 2, milliseconds(250),
                                                    seconds(config.keepaliveSeconds))),
      outbox_(maxAge_, ackTimeout_, kMaxQueuedTokens),
      shared_(std::make_shared<Shared>()) {
  if (!config.consumerPrefix.empty()) {
    validationTopic_ = config.consumerPrefix + "/e2m/token_validation_status";
  }
  Shared& shared = *shared_;
  shared.config = config;
  shared.password = std::move(password);
  shared.clientId = "rfid-tokend-" + config.moduleId;
  shared.checkTopic = config.topicPrefix + "/m2e/communication_check";
  shared.heartbeatTopic = heartbeatTopic_;
  shared.validationTopic = validationTopic_;
}

MqttLink::~MqttLink() {
  if (threadRunning_) shutdown(SteadyClock::now());
  // A thread left running keeps what it uses through its own reference,
  // and the library stays initialised for it until the process ends.
  if (thread_.joinable()) {
    thread_.join();
    mosquitto_lib_cleanup();
  }
}

int MqttLink::wakeFd() const {
  return shared_->wakeRead.get();
}

std::string MqttLink::address() const {
  return config_.host + ":" + std::to_string(config_.port);
}

std::optional<std::string> MqttLink::start() {
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    return std::string("cannot create a pipe: ") + strerror(errno);
  }
  shared_->wakeRead.reset(wake[0]);
  shared_->wakeWrite.reset(wake[1]);
  mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
  mosquitto_lib_init();
  startThread(SteadyClock::now());
  return std::nullopt;
}

void MqttLink::startThread(SteadyClock::time_point now) {
  try {
    thread_ = std::thread(&runNetwork, shared_);
    threadRunning_ = true;
    if (threadDelay_ > SteadyClock::duration::zero()) {
      logLine(Level::kInfo, "the MQTT thread started");
    }
    threadDelay_ = {};
  } catch (const std::system_error& error) {
    if (threadDelay_ == SteadyClock::duration::zero()) {
      logLine(Level::kError, "cannot start the MQTT thread (%s); retrying", error.what());
    }
    threadDelay_ = std::clamp<SteadyClock::duration>(2 * threadDelay_, kFirstDelay, kMaxDelay);
    nextThreadAttempt_ = now + threadDelay_;
  }
}

std::vector<MqttLink::Message> MqttLink::process(SteadyClock::time_point now) {
  char drain[64];
  while (::read(wakeFd(), drain, sizeof drain) > 0) {
  }
  std::vector<Delivery> deliveries;
  {
    const std::lock_guard<std::mutex> lock(shared_->inboxMutex);
    deliveries.swap(shared_->inbox);
  }
  std::vector<Message> messages;
  for (Delivery& delivery : deliveries) {
    switch (delivery.kind) {
      case Delivery::Kind::kConnected:
        connected(delivery.generation, now);
        break;
      case Delivery::Kind::kDown:
        disconnected(delivery.generation, delivery.cause, delivery.text, now);
        break;
      case Delivery::Kind::kPublished:
        if (delivery.generation != generation_) break;
        outbox_.acknowledged(delivery.code);
        if (delivery.code == finalCheckId_) finalCheckAcknowledged_ = true;
        break;
      case Delivery::Kind::kOversized:
        logLine(Level::kWarn,
                "dropped a message of %d bytes on %s unread: over the limit of %zu bytes",
                delivery.code, delivery.topic.c_str(), kMaxIncomingPayload);
        break;
      case Delivery::Kind::kMessage:
        messages.push_back({std::move(delivery.topic), std::move(delivery.text)});
        break;
    }
  }
  return messages;
}

void MqttLink::connected(unsigned generation, SteadyClock::time_point now) {
  connected_ = true;
  generation_ = generation;
  lastFailure_.reset();
  dropping_ = false;
  logLine(Level::kInfo, "connected to the broker at %s", address().c_str());
  publish(shared_->checkTopic, kTrue, kQosAtMostOnce, nullptr);
  nextCheck_ = now + checkInterval_;
  sendQueued(now);
}

void MqttLink::disconnected(unsigned generation, LinkCause cause, const std::string& detail,
                            SteadyClock::time_point now) {
  if (!connected_ || generation != generation_) {
    failed(cause, detail);
    return;
  }
  connected_ = false;
  std::string why = detail;
  if (dropping_) {
    cause = LinkCause::kTimeout;
    char text[64];
    std::snprintf(text, sizeof text, "no PUBACK within %.1f s", inSeconds(ackTimeout_));
    why = text;
  }
  dropping_ = false;
  lastFailure_ = cause;
  logLine(Level::kWarn, "lost the connection to the broker at %s: %s (%s); reconnecting",
          address().c_str(), causeName(cause), why.c_str());
  // What the broker did not acknowledge goes out on the next connection if
  // still fresh.
  outbox_.requeueUnacknowledged();
  dropStale(now);
}

void MqttLink::failed(LinkCause cause, const std::string& detail) {
  if (lastFailure_ == cause) return;
  lastFailure_ = cause;
  logLine(Level::kWarn, "cannot connect to the broker at %s: %s (%s); retrying", address().c_str(),
          causeName(cause), detail.c_str());
}

bool MqttLink::publish(const std::string& topic, const std::string& payload, int qos,
                       int* messageId) {
  Shared& shared = *shared_;
  const std::lock_guard<std::mutex> lock(shared.clientMutex);
  if (shared.client == nullptr || !shared.live || shared.generation != generation_) return false;
  return mosquitto_publish(shared.client, messageId, topic.c_str(),
                           static_cast<int>(payload.size()), payload.data(), qos,
                           false) == MOSQ_ERR_SUCCESS;
}

void MqttLink::publishToken(std::string payload, std::string reader, SteadyClock::time_point readAt,
                            SteadyClock::time_point now) {
  const auto dropped = outbox_.add({std::move(payload), std::move(reader), readAt});
  if (dropped) {
    logLine(Level::kWarn,
            "dropped the oldest token waiting for the broker (from reader %s): more than %zu "
            "tokens wait",
            dropped->reader.c_str(), kMaxQueuedTokens);
  }
  sendQueued(now);
}

void MqttLink::dropStale(SteadyClock::time_point now) {
  for (const TokenOutbox::Token& token : outbox_.dropStale(now)) {
    logLine(Level::kWarn,
            "dropped a token from reader %s: read %.1f s ago while the broker was unreachable, "
            "more than the max token age of %.1f s",
            token.reader.c_str(), inSeconds(now - token.readAt), config_.maxTokenAgeSeconds);
  }
}

void MqttLink::sendQueued(SteadyClock::time_point now) {
  dropStale(now);
  while (connected_ && !dropping_ && outbox_.next() != nullptr) {
    int messageId = 0;
    // Not sent: the connection is going; the token waits for the next one.
    if (!publish(tokenTopic_, outbox_.next()->payload, kQosAtLeastOnce, &messageId)) return;
    outbox_.sent(messageId, now);
  }
}

// A token the broker does not acknowledge in time means the connection is
// dead though the socket is not: it is dropped (with the will), and the
// token waits for a fresh connection.
void MqttLink::checkAcknowledgements(SteadyClock::time_point now) {
  if (!connected_ || dropping_) return;
  if (!outbox_.acknowledgementOverdue(now)) return;
  dropping_ = true;
  Shared& shared = *shared_;
  const std::lock_guard<std::mutex> lock(shared.clientMutex);
  if (shared.client != nullptr && shared.generation == generation_) {
    shared.dropRequested = true;
    mosquitto_disconnect_v5(shared.client, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
  }
}

SteadyClock::time_point MqttLink::tick(SteadyClock::time_point now) {
  dropStale(now);
  if (!threadRunning_ && shared_->wakeRead.valid() && now >= nextThreadAttempt_) startThread(now);
  checkAcknowledgements(now);
  if (connected_ && now >= nextCheck_) {
    publish(shared_->checkTopic, kTrue, kQosAtMostOnce, nullptr);
    nextCheck_ = now + checkInterval_;
  }
  SteadyClock::time_point next = now + seconds(1);
  if (connected_) next = std::min(next, nextCheck_);
  next = outbox_.dueBy(next);
  if (!threadRunning_) next = std::min(next, nextThreadAttempt_);
  return next;
}

void MqttLink::shutdown(SteadyClock::time_point deadline) {
  if (!threadRunning_) return;
  if (connected_ && publish(shared_->checkTopic, kFalse, kQosAtLeastOnce, &finalCheckId_)) {
    while (!finalCheckAcknowledged_ && connected_) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - SteadyClock::now());
      if (left.count() <= 0) break;
      pollfd wake{wakeFd(), POLLIN, 0};
      ::poll(&wake, 1, static_cast<int>(left.count()) + 1);
      process(SteadyClock::now());
    }
  }
  threadRunning_ = false;
  Shared& shared = *shared_;
  {
    const std::lock_guard<std::mutex> lock(shared.clientMutex);
    if (shared.client != nullptr) mosquitto_disconnect(shared.client);
  }
  {
    const std::lock_guard<std::mutex> lock(shared.stopMutex);
    shared.stopping = true;
  }
  shared.stopSignal.notify_all();
  // The thread ends at once unless it is inside a blocking connect (a name
  // lookup, a TCP connect to a silent host), which a stop may not wait for:
  // then it is left to the end of the process.
  const auto budget = std::max(deadline, SteadyClock::now() + milliseconds(100));
  if (shared.finished.get_future().wait_until(budget) != std::future_status::ready) {
    thread_.detach();
  }
}

}  // namespace rfid_tokend
