// What the tests and the benchmark of MQTT faults add to the harness:
// throwaway certificates, the resident size of the service, and a broker
// that ignores the size limit the service asks for.
#ifndef RFID_TOKEND_TESTS_MQTT_FAULT_HARNESS_H
#define RFID_TOKEND_TESTS_MQTT_FAULT_HARNESS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "harness.h"

namespace rfid_tokend_test {

// A throwaway CA: `name`.pem and `name`.key in `dir`.
void makeCa(const TempDir& dir, const std::string& name);
// `server`.pem and `server`.key for 127.0.0.1, signed by the CA `ca`.
void makeServer(const TempDir& dir, const std::string& ca, const std::string& server);

// Resident size of a process, at its peak so far and now, in KiB.
long peakResidentKiB(pid_t pid);
long residentKiB(pid_t pid);

// A broker that ignores the maximum packet size the client asks for: it
// accepts one MQTT 5 connection and sends `payload` on `topic` once released.
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

 private:
  void serve(const std::string& topic, const std::string& payload) {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    client_ = client;
    char connect[512];
    if (::recv(client, connect, sizeof connect, 0) <= 0) return;
    const char connack[] = {0x20, 0x03, 0x00, 0x00, 0x00};  // success, no properties
    if (::send(client, connack, sizeof connack, MSG_NOSIGNAL) != sizeof connack) return;
    go_.get_future().wait();
    std::string packets;
    std::string body;
    body += static_cast<char>(topic.size() >> 8);
    body += static_cast<char>(topic.size() & 0xFF);
    body += topic;
    body += '\0';  // no properties
    body += payload;
    packets += '\x30';  // PUBLISH, QoS 0
    for (std::size_t length = body.size();;) {
      const char digit = static_cast<char>(length % 128);
      length /= 128;
      packets += length > 0 ? static_cast<char>(digit | 0x80) : digit;
      if (length == 0) break;
    }
    packets += body;
    for (std::size_t sent = 0; sent < packets.size();) {
      const ssize_t n = ::send(client, packets.data() + sent, packets.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
    char discard[4096];
    while (::recv(client, discard, sizeof discard, 0) > 0) {
    }
  }

  int port_;
  int listener_ = -1;
  std::atomic<int> client_{-1};
  std::promise<void> go_;
  std::atomic<bool> released_{false};
  std::thread thread_;
};

}  // namespace rfid_tokend_test

#endif  // RFID_TOKEND_TESTS_MQTT_FAULT_HARNESS_H
