// How connection failures are named in the log, and the incoming size gate.
#include "mqtt_causes.h"

#include <gtest/gtest.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <string>

namespace rfid_tokend {
namespace {

TEST(MqttCauses, EachFailureHasTheCauseAnOperatorActsOn) {
  const struct {
    int result;
    int savedErrno;
    std::string cause;
  } results[] = {
      {MOSQ_ERR_EAI, 0, "DNS"},
      {MOSQ_ERR_ERRNO, ECONNREFUSED, "refused"},
      {MOSQ_ERR_CONN_REFUSED, 0, "refused"},
      {MOSQ_ERR_TLS, 0, "TLS"},
      {MOSQ_ERR_TLS_HANDSHAKE, 0, "TLS"},
      {MOSQ_ERR_KEEPALIVE, 0, "timeout"},
      {MOSQ_ERR_ERRNO, ETIMEDOUT, "timeout"},
      {MOSQ_ERR_ERRNO, EHOSTUNREACH, "timeout"},
      {MOSQ_ERR_AUTH, 0, "authentication"},
      {MOSQ_ERR_CONN_LOST, 0, "connection lost"},
      {MOSQ_ERR_ERRNO, ECONNRESET, "connection lost"},
      {MOSQ_ERR_NOMEM, 0, "other"},
  };
  for (const auto& r : results) {
    EXPECT_EQ(causeName(causeOfResult(r.result, r.savedErrno)), r.cause) << r.result;
  }
  const struct {
    int reason;
    std::string cause;
  } refusals[] = {
      {CONNACK_REFUSED_BAD_USERNAME_PASSWORD, "authentication"},
      {CONNACK_REFUSED_NOT_AUTHORIZED, "authentication"},
      {MQTT_RC_BAD_USERNAME_OR_PASSWORD, "authentication"},
      {MQTT_RC_NOT_AUTHORIZED, "authentication"},
      {MQTT_RC_BAD_AUTHENTICATION_METHOD, "authentication"},
      {CONNACK_REFUSED_SERVER_UNAVAILABLE, "refused"},
      {MQTT_RC_SERVER_BUSY, "refused"},
  };
  for (const auto& r : refusals) EXPECT_EQ(causeName(causeOfRefusal(r.reason)), r.cause);
}

TEST(MqttCauses, IncomingMessagesOver64KiBAreDroppedAndTheBrokerMayAddHeaders) {
  EXPECT_TRUE(incomingPayloadFits(0));
  EXPECT_TRUE(incomingPayloadFits(64 * 1024));
  EXPECT_FALSE(incomingPayloadFits(64 * 1024 + 1));
  EXPECT_FALSE(incomingPayloadFits(20 * 1000 * 1000));
  EXPECT_GT(kMaxIncomingPacket, kMaxIncomingPayload + 256);  // a topic and properties
}

}  // namespace
}  // namespace rfid_tokend
