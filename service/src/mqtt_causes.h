// Why a connection to the broker failed or broke, in the five words an
// operator acts on: DNS (the name), refused (nothing listens, or the broker
// said no), TLS (certificates), timeout (no answer), authentication (user
// name, password or client certificate). The service logs one line each
// time the cause changes, not one per attempt.
#ifndef RFID_TOKEND_MQTT_CAUSES_H
#define RFID_TOKEND_MQTT_CAUSES_H

#include <cstddef>

namespace rfid_tokend {

enum class LinkCause { kDns, kRefused, kTls, kTimeout, kAuthentication, kLost, kOther };

const char* causeName(LinkCause cause);

// A libmosquitto result (with errno for MOSQ_ERR_ERRNO) from connecting or
// from the network loop.
LinkCause causeOfResult(int mosquittoResult, int savedErrno);
// A CONNACK reason code other than success, MQTT 3.1.1 or 5.
LinkCause causeOfRefusal(int reasonCode);

// Incoming messages larger than this are dropped unread; the broker is asked
// not to send packets larger than kMaxIncomingPacket (the payload plus room
// for the topic and properties).
constexpr std::size_t kMaxIncomingPayload = 64 * 1024;
constexpr std::size_t kMaxIncomingPacket = kMaxIncomingPayload + 4096;
constexpr bool incomingPayloadFits(std::size_t bytes) {
  return bytes <= kMaxIncomingPayload;
}

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_MQTT_CAUSES_H
