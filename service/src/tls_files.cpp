#include "tls_files.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "rfid_secrets/secret_file.h"
#include "rfid_serial/unique_fd.h"

namespace rfid_tokend {
namespace {

// OpenSSL's reason for the last failure, without the queue of earlier ones.
std::string lastReason() {
  unsigned long code = 0;
  for (unsigned long next; (next = ERR_get_error()) != 0;) code = next;
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  return reason != nullptr ? reason : "unknown reason";
}

std::string fault(const std::string& name, const std::string& path, const std::string& what) {
  return name + " " + path + ": " + what + " (" + lastReason() + ")";
}

// An encrypted key would make OpenSSL ask for a pass phrase on the terminal.
int noPassphrase(char*, int, int, void*) {
  return 0;
}

}  // namespace

std::optional<std::string> checkTlsFiles(const MqttConfig& mqtt) {
  if (mqtt.caFile.empty()) return std::nullopt;
  const std::pair<const std::string*, const std::string*> files[] = {
      {&mqtt.caFileSetting, &mqtt.caFile},
      {&mqtt.certFileSetting, &mqtt.certFile},
      {&mqtt.keyFileSetting, &mqtt.keyFile}};
  for (const auto& [setting, path] : files) {
    if (path->empty()) continue;
    if (path == &mqtt.keyFile) {
      // The client's private key is a secret: the secret file reader's
      // rules hold for it as for the key files. OpenSSL reads it again by
      // path; what was read here is wiped.
      rfid_secrets::SecretBuffer key;
      if (const auto refused = rfid_secrets::readSecretFile(*path, key)) {
        return *setting + " " + *path + ": " + refused->ruleText();
      }
      continue;
    }
    if (::access(path->c_str(), R_OK) != 0) {
      return *setting + " " + *path + ": cannot be read (" + strerror(errno) + ")";
    }
    // OpenSSL's open of a FIFO would wait for a writer for ever.
    const rfid_serial::UniqueFd file(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
      return *setting + " " + *path + ": not a regular file";
    }
  }
  const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                                  &SSL_CTX_free);
  if (!context) return "--mqtt-cafile: OpenSSL cannot start (" + lastReason() + ")";
  SSL_CTX_set_default_passwd_cb(context.get(), &noPassphrase);
  ERR_clear_error();
  if (SSL_CTX_load_verify_locations(context.get(), mqtt.caFile.c_str(), nullptr) != 1) {
    return fault(mqtt.caFileSetting, mqtt.caFile, "OpenSSL cannot load it as a CA certificate");
  }
  if (!mqtt.certFile.empty() &&
      SSL_CTX_use_certificate_chain_file(context.get(), mqtt.certFile.c_str()) != 1) {
    return fault(mqtt.certFileSetting, mqtt.certFile, "OpenSSL cannot load it as a certificate");
  }
  if (!mqtt.keyFile.empty()) {
    if (SSL_CTX_use_PrivateKey_file(context.get(), mqtt.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      return fault(mqtt.keyFileSetting, mqtt.keyFile,
                   "OpenSSL cannot load it as the certificate's unencrypted private key");
    }
    if (SSL_CTX_check_private_key(context.get()) != 1) {
      return fault(mqtt.keyFileSetting, mqtt.keyFile, "the key does not match the certificate");
    }
  }
  return std::nullopt;
}

}  // namespace rfid_tokend
