#include "mqtt_causes.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <iterator>

#include "rfid_names/name_table.h"

namespace rfid_tokend {

// In the order of LinkCause's enumerators.
constexpr const char* kLinkCauseNames[] = {
    "DNS", "refused", "TLS", "timeout", "authentication", "connection lost", "other"};
static_assert(std::size(kLinkCauseNames) == static_cast<std::size_t>(LinkCause::kOther) + 1);

const char* causeName(LinkCause cause) {
  return rfid_names::nameOf(kLinkCauseNames, cause, "other");
}

LinkCause causeOfResult(int mosquittoResult, int savedErrno) {
  switch (mosquittoResult) {
    case MOSQ_ERR_EAI:
      return LinkCause::kDns;
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
      return LinkCause::kTls;
    case MOSQ_ERR_KEEPALIVE:
      return LinkCause::kTimeout;
    case MOSQ_ERR_AUTH:
      return LinkCause::kAuthentication;
    case MOSQ_ERR_CONN_REFUSED:
      return LinkCause::kRefused;
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_NO_CONN:
      return LinkCause::kLost;
    case MOSQ_ERR_ERRNO:
      switch (savedErrno) {
        case ECONNREFUSED:
          return LinkCause::kRefused;
        case ETIMEDOUT:
        case EHOSTUNREACH:
        case ENETUNREACH:
          return LinkCause::kTimeout;
        case ECONNRESET:
        case EPIPE:
        case 0:
          return LinkCause::kLost;
        default:
          return LinkCause::kOther;
      }
    default:
      return LinkCause::kOther;
  }
}

LinkCause causeOfRefusal(int reasonCode) {
  switch (reasonCode) {
    case 4:  // MQTT 3.1.1: bad user name or password
    case 5:  // MQTT 3.1.1: not authorised
    case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
    case MQTT_RC_NOT_AUTHORIZED:
    case MQTT_RC_BAD_AUTHENTICATION_METHOD:
    case MQTT_RC_BANNED:
      return LinkCause::kAuthentication;
    default:
      return LinkCause::kRefused;
  }
}

}  // namespace rfid_tokend
