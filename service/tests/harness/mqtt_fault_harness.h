// What the tests and the benchmark of MQTT faults add to the harness:
// throwaway certificates, the resident size of the service (measures.h), and a broker
// that ignores the size limit the service asks for.
#ifndef RFID_TOKEND_TESTS_MQTT_FAULT_HARNESS_H
#define RFID_TOKEND_TESTS_MQTT_FAULT_HARNESS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "harness.h"
#include "measures.h"

namespace rfid_tokend_test {

// A throwaway CA: `name`.pem and `name`.key in `dir`.
void makeCa(const TempDir& dir, const std::string& name);
// `server`.pem and `server`.key for 127.0.0.1, signed by the CA `ca`.
void makeServer(const TempDir& dir, const std::string& ca, const std::string& server);

// A broker that ignores the maximum packet size the client asks for: it
// accepts one MQTT 5 connection and sends `payload` on `topic` once released,
// then a small QoS 1 message on another topic. The client reads packets one
// at a time and frees each before it reads the next, so the PUBACK of the
// second message says the first one's buffers are gone.
class CarelessBroker {
 public:
  CarelessBroker(std::string topic, std::string payload) : port_(freePort()) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0) {
      throw std::runtime_error("cannot listen");
    }
    acknowledged_ = acknowledgement_.get_future();
    thread_ = std::thread([this, topic, payload] { serve(topic, payload); });
  }
  ~CarelessBroker() {
    release();
    ::shutdown(listener_, SHUT_RDWR);
    if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
    if (client_ >= 0) ::close(client_);
  }
  int port() const { return port_; }
  void release() {
    if (!released_.exchange(true)) go_.set_value();
  }
  // True once the client has acknowledged the message that follows the
  // oversized one, within `bound`.
  bool waitForAcknowledgement(std::chrono::milliseconds bound) {
    return acknowledged_.wait_for(bound) == std::future_status::ready;
  }

 private:
  static constexpr char kFollowingTopic[] = "careless/following";
  static constexpr int kFollowingId = 1;

  static void appendLength(std::string& packets, std::size_t length) {
    for (;;) {
      const char digit = static_cast<char>(length % 128);
      length /= 128;
      packets += length > 0 ? static_cast<char>(digit | 0x80) : digit;
      if (length == 0) break;
    }
  }
  static void appendPublish(std::string& packets, const std::string& topic, int id,
                            const std::string& payload) {
    std::string body;
    body += static_cast<char>(topic.size() >> 8);
    body += static_cast<char>(topic.size() & 0xFF);
    body += topic;
    if (id != 0) {
      body += static_cast<char>(id >> 8);
      body += static_cast<char>(id & 0xFF);
    }
    body += '\0';  // no properties
    body += payload;
    packets += id != 0 ? '\x32' : '\x30';  // PUBLISH, QoS 1 or 0
    appendLength(packets, body.size());
    packets += body;
  }
  // One whole packet from the client: its type byte and body.
  static bool readPacket(int client, unsigned char& type, std::string& body) {
    if (::recv(client, &type, 1, MSG_WAITALL) != 1) return false;
    std::size_t length = 0;
    for (int shift = 0; shift < 28; shift += 7) {
      unsigned char digit = 0;
      if (::recv(client, &digit, 1, MSG_WAITALL) != 1) return false;
      length |= static_cast<std::size_t>(digit & 0x7F) << shift;
      if ((digit & 0x80) == 0) break;
    }
    body.assign(length, '\0');
    return length == 0 ||
           ::recv(client, body.data(), length, MSG_WAITALL) == static_cast<ssize_t>(length);
  }

  void serve(const std::string& topic, const std::string& payload) {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    client_ = client;
    unsigned char type = 0;
    std::string body;
    if (!readPacket(client, type, body) || type != 0x10) return;  // CONNECT
    const char connack[] = {0x20, 0x03, 0x00, 0x00, 0x00};        // success, no properties
    if (::send(client, connack, sizeof connack, MSG_NOSIGNAL) != sizeof connack) return;
    go_.get_future().wait();
    std::string packets;
    appendPublish(packets, topic, 0, payload);
    appendPublish(packets, kFollowingTopic, kFollowingId, "following");
    for (std::size_t sent = 0; sent < packets.size();) {
      const ssize_t n = ::send(client, packets.data() + sent, packets.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
    // Subscriptions, pings and the service's own messages go unanswered.
    bool acknowledged = false;
    while (readPacket(client, type, body)) {
      const bool puback = (type & 0xF0) == 0x40 && body.size() >= 2 &&
                          ((static_cast<unsigned char>(body[0]) << 8) |
                           static_cast<unsigned char>(body[1])) == kFollowingId;
      if (puback && !acknowledged) {
        acknowledged = true;
        acknowledgement_.set_value();
      }
    }
  }

  int port_;
  int listener_ = -1;
  std::atomic<int> client_{-1};
  std::promise<void> go_;
  std::atomic<bool> released_{false};
  std::promise<void> acknowledgement_;
  std::future<void> acknowledged_;
  std::thread thread_;
};

}  // namespace rfid_tokend_test

#endif  // RFID_TOKEND_TESTS_MQTT_FAULT_HARNESS_H
