#include "mqtt_link.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include "service_log.h"

namespace rfid_tokend {
namespace {

constexpr int kQosAtLeastOnce = 1;
constexpr int kQosAtMostOnce = 0;
// Between reconnection attempts: one second, doubling up to four.
constexpr unsigned kReconnectDelayS = 1;
constexpr unsigned kReconnectDelayMaxS = 4;
constexpr char kTrue[] = "true";
constexpr char kFalse[] = "false";
// More tokens than this waiting for the broker means taps far older than any
// sensible max age; the oldest goes first.
constexpr std::size_t kMaxQueuedTokens = 256;

SteadyClock::duration fromSeconds(double seconds) {
  return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
}

double seconds(SteadyClock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

MqttLink::MqttLink(const MqttConfig& config, std::string password)
    : config_(config),
      password_(std::move(password)),
      tokenTopic_(config.topicPrefix + "/m2e/provided_token"),
      checkTopic_(config.topicPrefix + "/m2e/communication_check"),
      heartbeatTopic_(config.topicPrefix + "/e2m/heartbeat"),
      maxAge_(fromSeconds(config.maxTokenAgeSeconds)),
      checkInterval_(fromSeconds(config.communicationCheckSeconds)) {
  if (!config.consumerPrefix.empty()) {
    validationTopic_ = config.consumerPrefix + "/e2m/token_validation_status";
  }
}

MqttLink::~MqttLink() {
  if (client_ == nullptr) return;
  if (threadRunning_) shutdown(SteadyClock::now());
  if (abandoned_) return;
  mosquitto_destroy(client_);
  mosquitto_lib_cleanup();
}

std::string MqttLink::address() const {
  return config_.host + ":" + std::to_string(config_.port);
}

std::optional<std::string> MqttLink::start() {
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    return std::string("cannot create a pipe: ") + strerror(errno);
  }
  wakeRead_.reset(wake[0]);
  wakeWrite_.reset(wake[1]);

  mosquitto_lib_init();
  const std::string clientId = "rfid-tokend-" + config_.moduleId;
  client_ = mosquitto_new(clientId.c_str(), true, this);
  if (client_ == nullptr) return std::string("cannot create the MQTT client");
  mosquitto_connect_callback_set(client_, &MqttLink::onConnect);
  mosquitto_disconnect_callback_set(client_, &MqttLink::onDisconnect);
  mosquitto_publish_callback_set(client_, &MqttLink::onPublish);
  mosquitto_message_callback_set(client_, &MqttLink::onMessage);
  mosquitto_reconnect_delay_set(client_, kReconnectDelayS, kReconnectDelayMaxS, true);
  // The stack stops trusting this provider at once when the connection
  // breaks, instead of waiting for the communication check to time out.
  mosquitto_will_set(client_, checkTopic_.c_str(), sizeof kFalse - 1, kFalse, kQosAtLeastOnce,
                     false);
  if (!config_.username.empty()) {
    const int rc =
        mosquitto_username_pw_set(client_, config_.username.c_str(),
                                  config_.passwordFile.empty() ? nullptr : password_.c_str());
    if (rc != MOSQ_ERR_SUCCESS) return std::string("user name: ") + mosquitto_strerror(rc);
  }
  if (!config_.caFile.empty()) {
    const auto orNull = [](const std::string& text) {
      return text.empty() ? nullptr : text.c_str();
    };
    const int rc = mosquitto_tls_set(client_, config_.caFile.c_str(), nullptr,
                                     orNull(config_.certFile), orNull(config_.keyFile), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      return "--mqtt-cafile: TLS set-up refused: " + std::string(mosquitto_strerror(rc));
    }
  }
  startConnecting(SteadyClock::now());
  return std::nullopt;
}

// The network thread takes over reconnecting only once a first connection
// attempt got under way: started before that, libmosquitto 2.0 neither
// retries nor sleeps (it wakes every 10 ms). Until then the main thread
// retries with the same backoff.
void MqttLink::startConnecting(SteadyClock::time_point now) {
  const int rc = mosquitto_connect_async(client_, config_.host.c_str(), config_.port,
                                         config_.keepaliveSeconds);
  if (rc != MOSQ_ERR_SUCCESS) {
    if (connectDelay_ == std::chrono::seconds(0)) {
      logLine(Level::kWarn, "the broker at %s cannot be reached yet (%s); retrying",
              address().c_str(), rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
    }
    connectDelay_ =
        std::clamp<SteadyClock::duration>(2 * connectDelay_, std::chrono::seconds(kReconnectDelayS),
                                          std::chrono::seconds(kReconnectDelayMaxS));
    nextConnectAttempt_ = now + connectDelay_;
    return;
  }
  const int loop = mosquitto_loop_start(client_);
  if (loop != MOSQ_ERR_SUCCESS) {
    logLine(Level::kError, "cannot start the MQTT thread: %s", mosquitto_strerror(loop));
    return;
  }
  threadRunning_ = true;
}

// ---- Network thread ----------------------------------------------------------

void MqttLink::deliver(Delivery delivery) {
  {
    const std::lock_guard<std::mutex> lock(inboxMutex_);
    inbox_.push_back(std::move(delivery));
  }
  const char byte = 0;
  (void)!::write(wakeWrite_.get(), &byte, 1);  // a full pipe already wakes the reader
}

void MqttLink::onConnect(mosquitto*, void* self, int code) {
  static_cast<MqttLink*>(self)->deliver({Delivery::Kind::kConnected, code, {}, {}});
}

void MqttLink::onDisconnect(mosquitto*, void* self, int code) {
  static_cast<MqttLink*>(self)->deliver({Delivery::Kind::kDisconnected, code, {}, {}});
}

void MqttLink::onPublish(mosquitto*, void* self, int messageId) {
  static_cast<MqttLink*>(self)->deliver({Delivery::Kind::kPublished, messageId, {}, {}});
}

void MqttLink::onMessage(mosquitto*, void* self, const mosquitto_message* message) {
  std::string payload;
  if (message->payload != nullptr && message->payloadlen > 0) {
    payload.assign(static_cast<const char*>(message->payload),
                   static_cast<std::size_t>(message->payloadlen));
  }
  static_cast<MqttLink*>(self)->deliver(
      {Delivery::Kind::kMessage, 0, message->topic != nullptr ? message->topic : "", payload});
}

// ---- Main thread -------------------------------------------------------------

std::vector<MqttLink::Message> MqttLink::process(SteadyClock::time_point now) {
  char drain[64];
  while (::read(wakeRead_.get(), drain, sizeof drain) > 0) {
  }
  std::vector<Delivery> deliveries;
  {
    const std::lock_guard<std::mutex> lock(inboxMutex_);
    deliveries.swap(inbox_);
  }
  std::vector<Message> messages;
  for (Delivery& delivery : deliveries) {
    switch (delivery.kind) {
      case Delivery::Kind::kConnected:
        if (delivery.code == 0) {
          connected(now);
        } else if (delivery.code != lastRefusal_) {
          lastRefusal_ = delivery.code;
          logLine(Level::kError, "the broker at %s refused the connection: %s", address().c_str(),
                  mosquitto_connack_string(delivery.code));
        }
        break;
      case Delivery::Kind::kDisconnected:
        if (!connected_) break;
        connected_ = false;
        logLine(Level::kWarn, "lost the connection to the broker at %s (%s); reconnecting",
                address().c_str(), mosquitto_strerror(delivery.code));
        if (!unacknowledged_.empty()) {
          logLine(Level::kWarn,
                  "%zu token(s) were not acknowledged when the connection broke; the client "
                  "library sends them again when it reconnects",
                  unacknowledged_.size());
          unacknowledged_.clear();
        }
        break;
      case Delivery::Kind::kPublished:
        unacknowledged_.erase(delivery.code);
        if (delivery.code == finalCheckId_) finalCheckAcknowledged_ = true;
        break;
      case Delivery::Kind::kMessage:
        messages.push_back({std::move(delivery.topic), std::move(delivery.payload)});
        break;
    }
  }
  return messages;
}

void MqttLink::connected(SteadyClock::time_point now) {
  connected_ = true;
  lastRefusal_ = 0;
  logLine(Level::kInfo, "connected to the broker at %s", address().c_str());
  mosquitto_subscribe(client_, nullptr, heartbeatTopic_.c_str(), kQosAtMostOnce);
  if (!validationTopic_.empty()) {
    mosquitto_subscribe(client_, nullptr, validationTopic_.c_str(), kQosAtLeastOnce);
  }
  publishCheck(true, nullptr);
  nextCheck_ = now + checkInterval_;
  sendQueued(now);
}

void MqttLink::publishCheck(bool value, int* messageId) {
  const char* payload = value ? kTrue : kFalse;
  mosquitto_publish(client_, messageId, checkTopic_.c_str(), static_cast<int>(std::strlen(payload)),
                    payload, value ? kQosAtMostOnce : kQosAtLeastOnce, false);
}

void MqttLink::publishToken(std::string payload, std::string reader, SteadyClock::time_point readAt,
                            SteadyClock::time_point now) {
  if (queue_.size() >= kMaxQueuedTokens) queue_.pop_front();
  queue_.push_back({std::move(payload), std::move(reader), readAt});
  sendQueued(now);
}

void MqttLink::dropStale(SteadyClock::time_point now) {
  while (!queue_.empty() && now - queue_.front().readAt > maxAge_) {
    const QueuedToken& token = queue_.front();
    logLine(Level::kWarn,
            "dropped a token from reader %s: read %.1f s ago while the broker was unreachable, "
            "more than the max token age of %.1f s",
            token.reader.c_str(), seconds(now - token.readAt), config_.maxTokenAgeSeconds);
    queue_.pop_front();
  }
}

void MqttLink::sendQueued(SteadyClock::time_point now) {
  dropStale(now);
  while (connected_ && !queue_.empty()) {
    const QueuedToken& token = queue_.front();
    int messageId = 0;
    const int rc = mosquitto_publish(client_, &messageId, tokenTopic_.c_str(),
                                     static_cast<int>(token.payload.size()), token.payload.data(),
                                     kQosAtLeastOnce, false);
    // Not sent: the connection is going; the token waits for the next one.
    if (rc != MOSQ_ERR_SUCCESS) return;
    unacknowledged_.insert(messageId);
    queue_.pop_front();
  }
}

SteadyClock::time_point MqttLink::tick(SteadyClock::time_point now) {
  dropStale(now);
  if (!threadRunning_ && now >= nextConnectAttempt_) startConnecting(now);
  if (connected_ && now >= nextCheck_) {
    publishCheck(true, nullptr);
    nextCheck_ = now + checkInterval_;
  }
  SteadyClock::time_point next = now + std::chrono::seconds(1);
  if (connected_) next = std::min(next, nextCheck_);
  if (!queue_.empty()) next = std::min(next, queue_.front().readAt + maxAge_);
  if (!threadRunning_) next = std::min(next, nextConnectAttempt_);
  return next;
}

void MqttLink::shutdown(SteadyClock::time_point deadline) {
  if (client_ == nullptr || !threadRunning_) return;
  if (connected_) {
    publishCheck(false, &finalCheckId_);
    while (!finalCheckAcknowledged_) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
      if (left.count() <= 0) break;
      pollfd wake{wakeRead_.get(), POLLIN, 0};
      ::poll(&wake, 1, static_cast<int>(left.count()) + 1);
      process(SteadyClock::now());
    }
  }
  mosquitto_disconnect(client_);
  threadRunning_ = false;
  // The network thread ends after the disconnect, at once when it was
  // connected or waiting to retry; an attempt to connect in progress may
  // block it far longer than a stop may take. So it is waited for until the
  // deadline only, and then left to the end of the process, together with
  // the client it uses.
  auto stopped = std::make_shared<std::promise<void>>();
  std::future<void> done = stopped->get_future();
  std::thread([client = client_, stopped] {
    mosquitto_loop_stop(client, false);
    stopped->set_value();
  }).detach();
  const auto budget = std::max(deadline, SteadyClock::now() + std::chrono::milliseconds(100));
  abandoned_ = done.wait_until(budget) != std::future_status::ready;
}

}  // namespace rfid_tokend
