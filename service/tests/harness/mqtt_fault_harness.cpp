#include "mqtt_fault_harness.h"

#include <vector>

namespace rfid_tokend_test {
namespace {

void run(const std::vector<std::string>& argv) {
  if (!runProgram(argv)) throw std::runtime_error(argv[0] + " " + argv[1] + " failed");
}

}  // namespace

void makeCa(const TempDir& dir, const std::string& name) {
  run({OPENSSL, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
       "-nodes", "-keyout", dir.file(name + ".key"), "-out", dir.file(name + ".pem"), "-subj",
       "/CN=" + name, "-days", "2"});
}
void makeServer(const TempDir& dir, const std::string& ca, const std::string& server) {
  const std::string san = dir.write("san.ext", "subjectAltName=IP:127.0.0.1\n");
  run({OPENSSL, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
       "-keyout", dir.file(server + ".key"), "-out", dir.file(server + ".csr"), "-subj",
       "/CN=127.0.0.1"});
  run({OPENSSL, "x509", "-req", "-in", dir.file(server + ".csr"), "-CA", dir.file(ca + ".pem"),
       "-CAkey", dir.file(ca + ".key"), "-CAcreateserial", "-out", dir.file(server + ".pem"),
       "-days", "2", "-extfile", san});
}

}  // namespace rfid_tokend_test
