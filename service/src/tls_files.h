// The TLS files of the MQTT connection, loaded once with OpenSSL before the
// service starts: one that cannot be loaded is a configuration fault (exit 2),
// not an endless series of failed connections.
#ifndef RFID_TOKEND_TLS_FILES_H
#define RFID_TOKEND_TLS_FILES_H

#include <optional>
#include <string>

#include "config.h"

namespace rfid_tokend {

// The CA file must hold a certificate, the certificate file a certificate
// chain, and the key file an unencrypted private key that matches it; the
// key file must also pass the secret file reader's rules (a private regular
// file of this user or root, at most 64 KiB). The
// fault is one line; it names the setting (as the configuration names it)
// and the file, never the file's content.
std::optional<std::string> checkTlsFiles(const MqttConfig& mqtt);

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_TLS_FILES_H
