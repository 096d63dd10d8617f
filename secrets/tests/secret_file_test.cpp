// The secret file reader: every rule on its own, checked on what was opened,
// and no byte of a refused file in its fault.
#include "rfid_secrets/secret_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace rfid_secrets {
namespace {

using Rule = SecretFileFault::Rule;

constexpr const char* kSecret = "A0A1A2A3A4A5-s3cret";

class SecretFiles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(mkdtemp(directory_), nullptr); }
  void TearDown() override { std::system(("rm -rf " + std::string(directory_)).c_str()); }

  std::string write(const std::string& name, const std::string& text, mode_t mode) {
    const std::string path = std::string(directory_) + "/" + name;
    std::ofstream(path) << text;
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }
  std::string path(const std::string& name) const { return std::string(directory_) + "/" + name; }

  char directory_[32] = "/tmp/rfid-secrets-XXXXXX";
};

TEST_F(SecretFiles, EachRuleRefusesWithTheFileAndTheRuleAndNoByteOfIt) {
  const std::string secret = std::string(kSecret) + "\n";
  const std::string big(64 * 1024 + 1, 'A');
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  const std::string foreign = write("foreign", secret, 0600);
  const bool canGiveAway = ::geteuid() == 0 && ::chown(foreign.c_str(), 65534, 65534) == 0;
  struct Case {
    std::string path;
    FileRules rules;
    std::optional<Rule> rule;
    const char* line;  // a part of describe("key file")
  };
  std::vector<Case> cases = {
      {write("private", secret, 0600), {}, std::nullopt, ""},
      {write("owner-only", secret, 0400), {}, std::nullopt, ""},
      {write("group", secret, 0640), {}, Rule::kPrivateMode, "may be read by group or others"},
      {write("others", secret, 0602), {}, Rule::kPrivateMode, "; chmod 600 "},
      {write("public", secret, 0644), {64, false, true}, std::nullopt, ""},
      {path("missing"), {}, Rule::kOpen, "cannot read key file "},
      {directory_, {}, Rule::kRegularFile, " is not a regular file"},
      {path("fifo"), {}, Rule::kRegularFile, " is not a regular file"},
      {write("at-cap", std::string(64, 'A'), 0600), {64}, std::nullopt, ""},
      {write("over-cap", std::string(65, 'A'), 0600), {64}, Rule::kSize, "holds 65 bytes, more "},
      {write("big", big, 0600), {}, Rule::kSize, "holds 65537 bytes, more than the 65536"},
  };
  if (canGiveAway) {
    cases.push_back({foreign, {}, Rule::kOwner, "is owned by user 65534, neither"});
    cases.push_back({foreign, {64, true, false}, std::nullopt, ""});
  }
  for (const Case& c : cases) {
    SecretBuffer content(8);
    const auto fault = readSecretFile(c.path, content, c.rules);
    if (!c.rule) {
      ASSERT_FALSE(fault) << c.path << ": " << fault->describe("key file");
      EXPECT_TRUE(content.view() == secret ||
                  content.view().find_first_not_of('A') == std::string_view::npos)
          << c.path;
      EXPECT_EQ(content.c_str()[content.size()], '\0');
      continue;
    }
    ASSERT_TRUE(fault) << c.path;
    EXPECT_EQ(fault->rule, *c.rule) << c.path;
    EXPECT_TRUE(content.empty()) << c.path;
    const std::string line = fault->describe("key file");
    EXPECT_NE(line.find("key file " + c.path), std::string::npos) << line;
    EXPECT_NE(line.find(c.line), std::string::npos) << line;
    for (const std::string& text : {line, fault->ruleText()}) {
      EXPECT_EQ(text.find("A0A1"), std::string::npos) << text;
      EXPECT_EQ(text.find("AAAA"), std::string::npos) << text;
      EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    }
  }
}

// /proc files say they hold 0 bytes and hold more: what is read counts, and
// the cap holds against it.
TEST(SecretFileRead, AFileLargerThanItsSizeSaysIsReadWholeUpToTheCap) {
  const FileRules relaxed{64 * 1024, false, false};
  SecretBuffer status;
  ASSERT_FALSE(readSecretFile("/proc/self/status", status, relaxed));
  EXPECT_EQ(status.view().rfind("Name:", 0), 0u);
  EXPECT_NE(status.view().find("\nPid:"), std::string_view::npos) << "read past one buffer";
  const auto fault = readSecretFile("/proc/self/status", status, {16, false, false});
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->rule, Rule::kSize);
  EXPECT_EQ(fault->maxSize, 16u);
}

TEST(SecretBufferTest, KeepsItsContentWhenMovedOrGrownAndWipesWhatItCuts) {
  SecretBuffer buffer(4);
  std::memcpy(buffer.room(), "abcd", 4);
  buffer.commit(4);
  buffer.reserve(10);
  EXPECT_EQ(buffer.view(), "abcd");
  EXPECT_GE(buffer.capacity(), 10u);
  buffer.truncate(1);
  EXPECT_EQ(buffer.view(), "a");
  EXPECT_EQ(std::string(buffer.room(), 4), std::string("a\0\0\0", 4)) << "the cut bytes wiped";
  SecretBuffer moved(std::move(buffer));
  EXPECT_EQ(moved.view(), "a");
  EXPECT_TRUE(buffer.empty());  // NOLINT(bugprone-use-after-move): the moved-from state
  EXPECT_STREQ(buffer.c_str(), "");
  char bytes[] = "key";
  wipe(bytes, sizeof bytes);
  EXPECT_EQ(std::string(bytes, sizeof bytes), std::string(4, '\0'));
}

}  // namespace
}  // namespace rfid_secrets
