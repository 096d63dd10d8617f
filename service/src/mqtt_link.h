// The service's connection to the broker. libmosquitto runs the network on
// a thread of its own, reconnects with backoff and holds the last will
// (communication_check false); everything else happens on the service's
// main thread, which the network thread wakes through wakeFd().
//
// Tokens go out only while the broker is connected, from the service's own
// queue: one that waited longer than the max token age is dropped with a
// Warn line, so a stale tap never starts a session.
#ifndef RFID_TOKEND_MQTT_LINK_H
#define RFID_TOKEND_MQTT_LINK_H

#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config.h"
#include "debouncer.h"
#include "rfid_serial/unique_fd.h"

struct mosquitto;
struct mosquitto_message;

namespace rfid_tokend {

class MqttLink {
 public:
  struct Message {
    std::string topic;
    std::string payload;
  };

  MqttLink(const MqttConfig& config, std::string password);
  ~MqttLink();
  MqttLink(const MqttLink&) = delete;
  MqttLink& operator=(const MqttLink&) = delete;

  // Starts connecting. A fault (a certificate the library refuses) is
  // returned; an unreachable broker is not a fault, it is retried.
  std::optional<std::string> start();
  // Readable when the network thread has delivered something for process().
  int wakeFd() const { return wakeRead_.get(); }
  // Handles what the network thread delivered; returns the messages that
  // arrived on the subscribed topics.
  std::vector<Message> process(SteadyClock::time_point now);
  // Queues a token read at `readAt` and sends it when connected.
  void publishToken(std::string payload, std::string reader, SteadyClock::time_point readAt,
                    SteadyClock::time_point now);
  // Communication checks and stale tokens; returns when it wants the next call.
  SteadyClock::time_point tick(SteadyClock::time_point now);
  // Orderly end: communication_check false, acknowledged by the broker
  // before `deadline` if it can be, then disconnect.
  void shutdown(SteadyClock::time_point deadline);

  const std::string& heartbeatTopic() const { return heartbeatTopic_; }
  const std::string& validationTopic() const { return validationTopic_; }

 private:
  struct Delivery {
    enum class Kind { kConnected, kDisconnected, kMessage, kPublished };
    Kind kind;
    int code = 0;  // connack or disconnect reason; message id when published
    std::string topic;
    std::string payload;
  };
  struct QueuedToken {
    std::string payload;
    std::string reader;
    SteadyClock::time_point readAt;
  };

  static void onConnect(mosquitto* client, void* self, int code);
  static void onDisconnect(mosquitto* client, void* self, int code);
  static void onPublish(mosquitto* client, void* self, int messageId);
  static void onMessage(mosquitto* client, void* self, const mosquitto_message* message);
  void deliver(Delivery delivery);

  void startConnecting(SteadyClock::time_point now);
  void connected(SteadyClock::time_point now);
  void sendQueued(SteadyClock::time_point now);
  void dropStale(SteadyClock::time_point now);
  void publishCheck(bool value, int* messageId);
  std::string address() const;

  MqttConfig config_;
  std::string password_;
  std::string tokenTopic_;
  std::string checkTopic_;
  std::string heartbeatTopic_;
  std::string validationTopic_;
  SteadyClock::duration maxAge_;
  SteadyClock::duration checkInterval_;

  mosquitto* client_ = nullptr;
  bool threadRunning_ = false;
  bool abandoned_ = false;  // the network thread did not stop in time
  SteadyClock::duration connectDelay_{};
  SteadyClock::time_point nextConnectAttempt_{};
  rfid_serial::UniqueFd wakeRead_;
  rfid_serial::UniqueFd wakeWrite_;
  std::mutex inboxMutex_;
  std::vector<Delivery> inbox_;

  // Main thread only.
  bool connected_ = false;
  int lastRefusal_ = 0;
  std::deque<QueuedToken> queue_;
  std::set<int> unacknowledged_;
  SteadyClock::time_point nextCheck_{};
  int finalCheckId_ = -1;
  bool finalCheckAcknowledged_ = false;
};

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_MQTT_LINK_H
