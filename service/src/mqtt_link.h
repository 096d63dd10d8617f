// The service's connection to the broker. A network thread of the service's
// own runs libmosquitto: it connects (name lookup included), runs the
// client's loop, and after any failure or broken connection throws the
// client away and starts a fresh one with a clean session, after a backoff.
// So nothing a broken connection left in flight is ever sent again by the
// library: tokens go out only from the service's own queue, which drops
// those older than the max token age. The main thread publishes, and reads
// what the network thread delivered, woken through wakeFd().
//
// MQTT 5: the connect asks the broker not to send packets larger than the
// incoming limit, and a larger message that arrives anyway is dropped unread.
#ifndef RFID_TOKEND_MQTT_LINK_H
#define RFID_TOKEND_MQTT_LINK_H

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "debouncer.h"
#include "mqtt_causes.h"
#include "rfid_secrets/secret_file.h"
#include "token_outbox.h"

namespace rfid_tokend {

class MqttLink {
 public:
  struct Message {
    std::string topic;
    std::string payload;
  };

  MqttLink(const MqttConfig& config, rfid_secrets::SecretBuffer password);
  ~MqttLink();
  MqttLink(const MqttLink&) = delete;
  MqttLink& operator=(const MqttLink&) = delete;

  // Starts the network thread; returns a fault only when the process cannot
  // make a pipe. A thread that cannot be started is retried with backoff.
  std::optional<std::string> start();
  // Readable when the network thread has delivered something for process().
  int wakeFd() const;
  // Handles what the network thread delivered; returns the messages that
  // arrived on the subscribed topics.
  std::vector<Message> process(SteadyClock::time_point now);
  // Queues a token read at `readAt` and sends it when connected.
  void publishToken(std::string payload, std::string reader, SteadyClock::time_point readAt,
                    SteadyClock::time_point now);
  // Communication checks, acknowledgements and stale tokens; returns when it
  // wants the next call.
  SteadyClock::time_point tick(SteadyClock::time_point now);
  // Orderly end: communication_check false, acknowledged by the broker
  // before `deadline` if it can be, then disconnect.
  void shutdown(SteadyClock::time_point deadline);

  const std::string& heartbeatTopic() const { return heartbeatTopic_; }
  const std::string& validationTopic() const { return validationTopic_; }

  struct Shared;  // what the network thread uses; it outlives this object

 private:
  void startThread(SteadyClock::time_point now);
  void connected(unsigned generation, SteadyClock::time_point now);
  void disconnected(unsigned generation, LinkCause cause, const std::string& detail,
                    SteadyClock::time_point now);
  void failed(LinkCause cause, const std::string& detail);
  void sendQueued(SteadyClock::time_point now);
  void dropStale(SteadyClock::time_point now);
  void checkAcknowledgements(SteadyClock::time_point now);
  bool publish(const std::string& topic, const std::string& payload, int qos, int* messageId);
  std::string address() const;

  MqttConfig config_;
  std::string tokenTopic_;
  std::string heartbeatTopic_;
  std::string validationTopic_;
  SteadyClock::duration maxAge_;
  SteadyClock::duration checkInterval_;
  SteadyClock::duration ackTimeout_;
  TokenOutbox outbox_;  // main thread only

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  bool threadRunning_ = false;
  SteadyClock::duration threadDelay_{};
  SteadyClock::time_point nextThreadAttempt_{};

  // Main thread only.
  bool connected_ = false;
  unsigned generation_ = 0;  // of the connected client
  std::optional<LinkCause> lastFailure_;
  bool dropping_ = false;  // asked the network thread to drop the connection
  SteadyClock::time_point nextCheck_{};
  int finalCheckId_ = -1;
  bool finalCheckAcknowledged_ = false;
};

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_MQTT_LINK_H
