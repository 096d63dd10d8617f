// Everything the service writes or reads as text: the MQTT payloads of the
// auth token provider API, the events on standard output, and the lines
// between the workers and the service. Pure functions, no I/O.
#ifndef RFID_TOKEND_PAYLOADS_H
#define RFID_TOKEND_PAYLOADS_H

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace rfid_tokend {

// What a worker reports about its reader.
struct ReaderEvent {
  enum class Kind { kToken, kRemoved, kUp, kDown, kRefused };
  Kind kind = Kind::kToken;
  std::string value;   // token and removed: the token value; refused: the serial number
  std::string type;    // token: its type, e.g. ISO14443
  std::string reason;  // down: what was seen; refused: login, layout, key-id or mac
};

// One line between a worker and the service, and back. Decoding gives
// nothing for a line that is not such an event.
std::string encodeReaderEvent(const ReaderEvent& event);
std::optional<ReaderEvent> decodeReaderEvent(const std::string& line);

// The event as one JSON line on standard output (without the newline).
std::string eventLine(const ReaderEvent& event, const std::string& reader,
                      const std::vector<int>& connectors,
                      std::chrono::system_clock::time_point time);

// UTC in ISO 8601 with milliseconds, e.g. 2024-05-01T12:00:00.250Z.
std::string isoTime(std::chrono::system_clock::time_point time);

// <prefix>/m2e/provided_token:
// {"id_token":{"value":..,"type":..},"authorization_type":"RFID"[,"connectors":[..]]}
std::string providedTokenPayload(const std::string& value, const std::string& type,
                                 const std::vector<int>& connectors);

// The auth consumer's verdict on a token, from
// <consumer prefix>/e2m/token_validation_status.
struct ValidationStatus {
  enum class Status { kProcessing, kAccepted, kRejected, kTimedOut };
  std::string value;  // the token's value
  Status status = Status::kProcessing;
};
// Empty, with `fault` saying why, for anything but such a verdict.
std::optional<ValidationStatus> parseValidationStatus(const std::string& payload,
                                                      std::string& fault);

// <prefix>/e2m/heartbeat carries a counter: a plain integer.
std::optional<long long> parseHeartbeat(const std::string& payload);

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_PAYLOADS_H
