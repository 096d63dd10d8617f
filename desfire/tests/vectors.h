// Hex helpers shared by the DESFire tests.
#ifndef RFID_DESFIRE_TESTS_VECTORS_H
#define RFID_DESFIRE_TESTS_VECTORS_H

#include <gtest/gtest.h>

#include <string>

#include "rfid_desfire/secure_messaging.h"
#include "rfid_hex/hex.h"

namespace rfid_desfire::testing {

inline Bytes bytes(const std::string& hex) {
  return rfid_hex::fromHex(hex).value();
}

template <typename Secret>
Secret secret(const std::string& hex) {
  Secret value;
  EXPECT_TRUE(rfid_hex::parseHex(hex, value.data(), value.size())) << hex;
  return value;
}
inline AesKey key(const std::string& hex) {
  return secret<AesKey>(hex);
}
inline Random random(const std::string& hex) {
  return secret<Random>(hex);
}

template <typename T>
std::string hexOf(const T& value) {
  return rfid_hex::toHex(value.data(), value.size());
}

}  // namespace rfid_desfire::testing

#endif  // RFID_DESFIRE_TESTS_VECTORS_H
