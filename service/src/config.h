// rfid-tokend's configuration: one TOML file and the flags of the common
// case. Flags override the file's settings; readers given with --reader are
// added to the file's [[reader]] tables. Everything is checked before any
// port is opened, and a fault is one line that names the key or flag.
#ifndef RFID_TOKEND_CONFIG_H
#define RFID_TOKEND_CONFIG_H

#include <optional>
#include <string>
#include <vector>

#include "rfid_host/model.h"

namespace rfid_tokend {

using ReaderModel = rfid_host::Model;
using rfid_host::modelFromName;
using rfid_host::modelName;

// How a token read from card memory is shown.
enum class BlockFormat { kHex, kAscii };

// A token taken from `count` consecutive data blocks of one sector, read
// with that sector's key from the key file.
struct BlockSource {
  int block = 1;
  int count = 1;
  BlockFormat format = BlockFormat::kHex;
};

// Where a reader's tokens come from: the serial number, card memory read
// with the key file's key, a fleet card's verified token block, or a DESFire
// fleet card's AES-authenticated file (Elatec readers only).
enum class TokenSource { kSerial, kBlock, kFleet, kDesfire };
const char* tokenSourceName(TokenSource source);
// How a fleet token id is shown: 12 upper-case hex digits, or its value in
// decimal.
enum class TokenFormat { kHex, kDecimal };
// What a DESFire fleet card's token is once the card proved its key: its
// serial number (type ISO14443, as serial-number tokens) or the token id in
// its file 1 (type Local, as fleet tokens).
enum class DesfireToken { kUid, kFile };

struct ReaderConfig {
  ReaderModel model = ReaderModel::kElatec;
  std::string path;
  std::string name;             // in events and log lines; the path when not given
  std::string origin;           // where it was configured, for faults
  int baud = 0;                 // 0: the service's baud rate
  std::vector<int> connectors;  // connector ids served, each >= 1
  // Serial number tokens in reversed byte order; unset: the service's choice.
  std::optional<bool> reverseBytes;
  std::optional<BlockSource> blockSource;
  std::string tokenType;  // ISO14443 for serial numbers, Local for block and fleet tokens
  std::string tokenPrefix;
  // token = "serial" | "block" | "fleet" | "desfire"; once finished always
  // set: block where `block` is given, else fleet where fleet_keys is set,
  // else serial.
  std::optional<TokenSource> token;
  TokenFormat tokenFormat = TokenFormat::kHex;  // fleet and DESFire file tokens only
  bool fallbackSerial = false;  // fallback = "serial": a card without a fleet token or application
  bool fallbackFleet = false;   // fallback = "fleet": a card that is no DESFire card (desfire only)
  DesfireToken desfireToken = DesfireToken::kFile;
  // desfire_get_sak = false: no GetSAK before the DESFire read; a card that takes
  // no ISO 14443-4 command shows by its refused first exchange instead.
  bool desfireGetSak = true;
  // The type of the fleet tokens of a desfire reader with fallback = "fleet":
  // token_type where given, else Local.
  std::string fleetTokenType = "Local";
  std::optional<bool> refusedSound;  // unset: the service's refused_sound
};

struct MqttConfig {
  bool enabled = false;
  std::string host;
  int port = 0;  // 0: 1883, or 8883 with TLS
  std::string moduleId;
  std::string topicPrefix;  // everest_api/1/auth_token_provider/<module id>
  std::string consumerId;   // feedback from the auth consumer when set
  std::string consumerPrefix;
  std::string username;
  std::string passwordFile;
  std::string caFile;
  std::string certFile;
  std::string keyFile;
  // The TLS files' settings as faults name them: the flag, or the key as
  // written in the file it came from.
  std::string caFileSetting = "--mqtt-cafile";
  std::string certFileSetting = "--mqtt-certfile";
  std::string keyFileSetting = "--mqtt-keyfile";
  double communicationCheckSeconds = 2.5;
  double heartbeatTimeoutSeconds = 5.0;
  double maxTokenAgeSeconds = 10.0;
  int keepaliveSeconds = 10;
  // "FILE: mqtt." when the TOML file has MQTT settings, for the fault of a
  // missing host.
  std::string fileSettings;
};

struct Config {
  std::vector<ReaderConfig> readers;
  MqttConfig mqtt;
  bool jsonl = false;
  std::string logDir;   // the module's log directory; its built-in one when empty
  std::string keyFile;  // "SECTOR:HEX12" lines; must not be readable by group or others
  int baud = 9600;
  bool reverseBytes = false;
  int debouncePolls = 2;  // used when debounceMs is 0
  int debounceMs = 1000;  // when above 0, absence is timed instead of counted in polls
  // How each exchange waits for its reply: until the line has been quiet
  // for quietMs (the module's quiet wait), or the fixed half second.
  bool quietWait = true;
  int quietMs = 20;
  int minPollMs = 50;        // the shortest time from one poll of a reader to the next
  std::string fleetKeys;     // K_A and the MAC keys; a file holding key_b is refused
  bool refusedSound = true;  // a refused fleet card sounds the rejected pattern
};

// The longest log directory the module takes (rfidSetLogDirectory).
constexpr std::size_t kMaxLogDirLength = 236;

// The longest token a reader can produce; more than kMaxTokenLength is a
// configuration fault.
constexpr std::size_t kMaxTokenLength = 36;
std::size_t longestToken(const ReaderConfig& reader);

struct ParseResult {
  enum class Outcome { kRun, kHelp, kInvalid };
  Outcome outcome = Outcome::kInvalid;
  Config config;
  std::string text;  // the help text, or the one-line fault
};

// Parses the command line and the file named by --config. Files named in
// the configuration (keys, password, certificates) are read later.
ParseResult parseCommandLine(int argc, const char* const* argv);

// Applies a TOML document to `config`. `source` names it in faults.
std::optional<std::string> applyToml(const std::string& text, const std::string& source,
                                     Config& config);

// Parses "MODEL:PATH" into a reader with default settings.
std::optional<std::string> parseReaderFlag(const std::string& flag, ReaderConfig& reader);

// Parses "HOST[:PORT]" ("[v6]:PORT" for an IPv6 address).
std::optional<std::string> parseBrokerAddress(const std::string& text, MqttConfig& mqtt);

// Checks the whole configuration and fills the defaults that depend on
// other settings (reader names, token types, topic prefixes, the TLS port).
std::optional<std::string> finishConfig(Config& config);

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_CONFIG_H
