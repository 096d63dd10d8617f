// rfidctl run as a user runs it: a separate process (under a cross
// build's emulator, where there is one), its exit code and both output
// streams.
#ifndef RFID_TOOLS_TESTS_RFIDCTL_PROCESS_H
#define RFID_TOOLS_TESTS_RFIDCTL_PROCESS_H

#include <string>
#include <vector>

namespace rfid_tools_test {

struct Result {
  int exitCode = -1;
  std::string out;
  std::string err;
};

Result rfidctl(const std::vector<std::string>& args);

// A fresh directory for one test's files, removed with all it holds when
// the test is done. Its name starts with `prefix`, so that one left behind
// by a crash tells whose it was.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "rfidctl-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // `name` holding `text`, with mode 0600 as rfidctl wants a key file; its
  // path.
  std::string privateFile(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

}  // namespace rfid_tools_test

#endif  // RFID_TOOLS_TESTS_RFIDCTL_PROCESS_H
