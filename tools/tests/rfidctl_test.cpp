// rfidctl as a user runs it: a separate process, its exit code, its
// standard output and its one-line messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rfid_image/image_file.h"
#include "rfid_sim/simulator.h"
#include "rfidctl_process.h"

namespace {

using rfid_tools_test::Result;
using rfid_tools_test::rfidctl;
using rfid_tools_test::TempDir;

std::string lastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  const std::size_t newline = trimmed.rfind('\n');
  return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

std::vector<std::string> withSimulation(std::vector<std::string> args) {
  args.insert(args.begin(), {"--simulate", "--fast"});
  return args;
}

std::string fileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), {});
}

rfid_image::CardImage imageIn(const std::string& path) {
  std::string error;
  const auto image = rfid_image::readImageFile(path, rfid_image::formatForPath(path), error);
  EXPECT_TRUE(image.has_value()) << error;
  return image.value_or(rfid_image::CardImage{});
}

void writeImage(const std::string& path, const rfid_image::CardImage& image) {
  std::vector<std::string> warnings;
  std::string error;
  ASSERT_TRUE(rfid_image::writeImageFile(path, image, rfid_image::formatForPath(path), "test",
                                         warnings, error))
      << error;
}

rfid_image::Block filledBlock(std::uint8_t value) {
  rfid_image::Block block{};
  block.fill(value);
  return block;
}

TEST(Rfidctl, BadInputIsAOneLineMessageAndExitTwo) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::string hex31(31, 'A');
  // Most faults show on a simulated vor reader.
  const auto vor = [](std::vector<std::string> args) {
    args.insert(args.begin(), {"--simulate", "--model", "vor"});
    return args;
  };
  const Case cases[] = {
      {vor({"read", "64"}), "block 64 is out of range: use 0 to 63"},
      {{"--simulate", "--model", "elatec", "read", "-1"}, "block -1 is out of range"},
      {vor({"write", "4", hex31}), "32 hex digits"},
      {vor({"write", "4", std::string(30, 'A') + "GG"}), "32 hex digits"},
      {{"--model", "vor", "identify"}, "no reader port: pass --port PATH"},
      {{"--port", "/dev/null", "--model", "vor", "identify"}, "/dev/null is not a serial port"},
      {{"--port", "/nonexistent/ttyUSB9", "--model", "vor", "identify"},
       "cannot open /nonexistent/ttyUSB9"},
      {{"--port", "/dev/null", "--baud", "1234", "--model", "vor", "identify"},
       "--baud 1234 is not offered"},
      {{"--simulate", "identify"}, "--model vor or --model elatec"},
      {{"--simulate", "--model", "mifare", "identify"}, "--model must be vor or elatec"},
      {vor({}), "no command"},
      {vor({"frobnicate"}), "unknown command 'frobnicate'"},
      {vor({"read"}), "read takes 1 argument"},
      {vor({"identify", "4"}), "identify takes 0 argument"},
      {vor({"--port"}), "--port needs a value"},
      {vor({"login", "4"}), "login is for --model elatec"},
      {{"--simulate", "--model", "elatec", "halt"}, "halt is for --model vor"},
      {vor({"buzz", "11"}), "buzz TIME must be 0 to 10"},
      {vor({"--key", "FFFF", "identify"}), "--key takes 12 hex digits"},
      {vor({"--sector-key", "16:FFFFFFFFFFFF", "identify"}), "sector 0 to 15"},
      {vor({"--key-selector", "256", "identify"}), "--key-selector takes"},
      {vor({"identify", "--save", "x"}), "--save belongs to the dump command"},
      {vor({"--count", "1", "watch"}), "put it after watch"},
      {{"--port", "/dev/null", "--fast", "--model", "vor", "identify"}, "apply to --simulate only"},
      {vor({"identify", "--bogus"}), "unknown option --bogus"},
      {vor({"dump", "--format", "nfc4k"}), "--format must be mfd, bin,"},
      {vor({"keys"}), "keys needs --dict FILE"},
      {vor({"keys", "--dict", "/nonexistent/d"}), "cannot read key dictionary /nonexistent/d"},
      {vor({"--keys", "/nonexistent/k", "identify"}), "cannot read key file /nonexistent/k"},
      {vor({"restore", "x.mfd", "--with-trailers"}), "add --yes to confirm"},
      {vor({"--reply-wait", "soon", "identify"}), "--reply-wait takes fixed"},
      {vor({"--quiet-ms", "101", "identify"}), "--quiet-ms takes 1 to"},
      {vor({"--log-dir", std::string(300, 'd'), "identify"}), "is too long for the log file"},
  };
  for (const Case& c : cases) {
    const Result result = rfidctl(c.args);
    std::string shown;
    for (const std::string& arg : c.args) shown += arg + " ";
    EXPECT_EQ(result.exitCode, 2) << shown;
    EXPECT_EQ(result.err.rfind("rfidctl: ", 0), 0u) << shown << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << shown << "\n" << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
    EXPECT_TRUE(result.out.empty()) << shown << result.out;
  }
}

// The key file is a secret file for rfidctl as for the service: its owner
// and size are checked on what was opened, not only its mode.
TEST(Rfidctl, AKeyFileOfAnotherUserOrTooLargeIsRefusedWithoutItsKeys) {
  const TempDir dir("rfidctl-keys");
  std::string padded = "1:A0A1A2A3A4A5\n";
  while (padded.size() <= 64 * 1024) padded += "# padding padding padding padding padding\n";
  const std::string big = dir.privateFile("big", padded);
  const std::string foreign = dir.privateFile("foreign", "1:A0A1A2A3A4A5\n");
  std::vector<std::pair<std::string, std::string>> cases = {{big, "key file " + big + " holds "}};
  if (::chown(foreign.c_str(), 65534, 65534) == 0) {
    cases.emplace_back(foreign, "key file " + foreign + " is owned by user 65534");
  }
  for (const auto& [path, message] : cases) {
    const Result result = rfidctl({"--simulate", "--model", "vor", "--keys", path, "identify"});
    EXPECT_EQ(result.exitCode, 2) << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("A0A1"), std::string::npos) << result.err;
  }
}

TEST(Rfidctl, UsageFaultsAndHelpOnStandardOutput) {
  // With --json a fault is an object too, valid JSON even for bytes that
  // are not UTF-8.
  Result result = rfidctl({"--json", "--simulate", "--model", "\xFF", "identify"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.out,
            "{\"ok\":false,\"error\":\"--model must be vor or elatec, got '\xEF\xBF\xBD'\"}\n");

  result = rfidctl({"--help"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  for (const char* word : {"--port",
                           "--baud",
                           "--simulate",
                           "--card-file",
                           "--no-card",
                           "--fast",
                           "--model",
                           "--key",
                           "--sector-key",
                           "--key-selector",
                           "--json",
                           "--quiet",
                           "--log-dir",
                           "identify",
                           "read BLOCK",
                           "write BLOCK HEX32",
                           "login BLOCK",
                           "dump [--save PATH",
                           "keys --dict FILE",
                           "restore PATH",
                           "halt",
                           "buzz TIME",
                           "beep SOUND",
                           "watch [--count N] [--interval MS]",
                           "Exit status"}) {
    EXPECT_NE(result.out.find(word), std::string::npos) << word;
  }
}

TEST(Rfidctl, BadInputPutsNothingOnTheWire) {
  rfid_sim::Simulator reader(rfid_sim::Model::kVor, rfid_sim::Card::demo());
  const std::string& port = reader.portPath();
  const std::string malformedTrailer =
      "FFFFFFFFFFFF"
      "FF0781"
      "69"
      "FFFFFFFFFFFF";
  TempDir dir;
  const std::string malformedImage = dir.file("bad.eml");
  std::ofstream(malformedImage) << std::string(31, '0') << "\n";
  const std::string lockingImage = dir.file("locks.json");
  rfid_image::CardImage locking = rfid_image::blankImage({1, 2, 3, 4});
  (*locking.blocks[7])[8] = 0x81;
  writeImage(lockingImage, locking);
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--port", port, "--model", "vor", "read", "64"}, "out of range"},
      {{"--port", port, "--model", "vor", "write", "5", "00"}, "32 hex digits"},
      {{"--port", port, "--model", "vor", "--key", "GGGGGGGGGGGG", "read", "4"}, "12 hex digits"},
      {{"--port", port, "--model", "vor", "write", "7", malformedTrailer}, "lock sector 1"},
      {{"--port", port, "--model", "vor", "restore", malformedImage},
       "bad.eml, line 1: expected 32 hex digits"},
      {{"--port", port, "--model", "vor", "restore", "--with-trailers", "--yes", lockingImage},
       "block 7 of the image has malformed access bits, which would lock sector 1 for good"},
      {withSimulation({"--model", "vor", "--card-file", malformedImage, "identify"}),
       "bad.eml, line 1: expected 32 hex digits"},
  };
  for (const auto& [args, message] : cases) {
    const Result result = rfidctl(args);
    EXPECT_EQ(result.exitCode, 2) << args.back() << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
  }
  EXPECT_EQ(reader.bytesReceived(), 0u);
}

TEST(Rfidctl, SimulatedSessionsExitZeroOrOneWithOutputForPeopleAndScripts) {
  Result result = rfidctl(withSimulation({"--model", "vor", "identify"}));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("Card type : MIFARE classic."), std::string::npos)
      << "the module's own log line";
  EXPECT_NE(result.out.find("serial A1B2C3D4"), std::string::npos) << result.out;

  result = rfidctl(withSimulation({"--model", "elatec", "--json", "--quiet", "read", "1"}));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(lastLine(result.out),
            "{\"command\":\"read\",\"model\":\"elatec\",\"serial\":\"A1B2C3D4\",\"block\":1,"
            "\"data\":\"44656D6F206368617267652063617264\",\"ok\":true}");

  result = rfidctl(withSimulation({"--model", "elatec", "--no-card", "--json", "identify"}));
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("no card in the field"), std::string::npos);
  EXPECT_NE(lastLine(result.out).find("\"ok\":false"), std::string::npos);

  for (const char* model : {"vor", "elatec"}) {
    result =
        rfidctl(withSimulation({"--model", model, "--sector-key", "1:A0A1A2A3A4A5", "read", "4"}));
    EXPECT_EQ(result.exitCode, 1) << model;
    EXPECT_NE(result.err.find("check the key of sector 1"), std::string::npos)
        << model << result.err;
  }
}

// Against a reader with a real reader's pace (no --fast), the quiet wait
// and the module's fixed half second give the same result.
TEST(Rfidctl, BothReplyWaitsReadTheSameFromAPacedReader) {
  for (const char* wait : {"quiet", "fixed"}) {
    const Result result = rfidctl({"--simulate", "--model", "elatec", "--reply-wait", wait,
                                   "--json", "--quiet", "read", "1"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(lastLine(result.out),
              "{\"command\":\"read\",\"model\":\"elatec\",\"serial\":\"A1B2C3D4\",\"block\":1,"
              "\"data\":\"44656D6F206368617267652063617264\",\"ok\":true}")
        << wait;
  }
}

TEST(Rfidctl, WritesLandInTheCardFileAndADumpSavesTheWholeCard) {
  TempDir dir;
  const std::string card = dir.file("card.mfd");
  Result result = rfidctl(withSimulation(
      {"--model", "vor", "--card-file", card, "write", "8", "000102030405060708090A0B0C0D0E0F"}));
  ASSERT_EQ(result.exitCode, 0) << result.err;
  result =
      rfidctl(withSimulation({"--model", "elatec", "--card-file", card, "--quiet", "read", "8"}));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find(" 8  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"),
            std::string::npos)
      << result.out;

  const std::string saved = dir.file("dump.mfd");
  result = rfidctl(withSimulation(
      {"--model", "elatec", "--card-file", card, "--quiet", "dump", "--save", saved}));
  ASSERT_EQ(result.exitCode, 0) << result.err;
  int lines = 0;
  int trailers = 0;
  std::istringstream table(result.out);
  for (std::string line; std::getline(table, line);) {
    const bool numbered = line.size() > 4 && std::isdigit(static_cast<unsigned char>(line[1])) != 0;
    if (numbered && std::stoi(line.substr(0, 2)) == lines) {
      ++lines;
      trailers += line.find("trailer") != std::string::npos ? 1 : 0;
    }
  }
  EXPECT_EQ(lines, 64) << result.out;
  EXPECT_EQ(trailers, 16);
  EXPECT_NE(result.err.find("dump: block 64/64"), std::string::npos) << "progress";
  // Key A comes back into the trailers, so the dump equals the card file.
  std::ifstream savedFile(saved, std::ios::binary);
  std::ifstream cardFile(card, std::ios::binary);
  const std::string savedBytes((std::istreambuf_iterator<char>(savedFile)), {});
  const std::string cardBytes((std::istreambuf_iterator<char>(cardFile)), {});
  EXPECT_EQ(savedBytes.size(), 1024u);
  EXPECT_EQ(savedBytes, cardBytes);
}

TEST(Rfidctl, DumpWithOneWrongSectorKeyRefusesThatSectorOnly) {
  for (const char* model : {"vor", "elatec"}) {
    const Result result = rfidctl(
        withSimulation({"--model", model, "--quiet", "--sector-key", "2:A0A1A2A3A4A5", "dump"}));
    EXPECT_EQ(result.exitCode, 1) << model;
    EXPECT_NE(result.err.find("4 of 64 blocks were refused"), std::string::npos)
        << model << result.err;
    EXPECT_NE(result.out.find(" 8  -- refused --"), std::string::npos) << model << result.out;
    EXPECT_NE(result.out.find("11  -- refused --  trailer"), std::string::npos) << model;
    EXPECT_NE(result.out.find("12  00 00"), std::string::npos) << "the card identified again";
  }
}

TEST(Rfidctl, WatchPrintsTheCardOnce) {
  const Result result =
      rfidctl(withSimulation({"--model", "vor", "--quiet", "watch", "--count", "1"}));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("card A1B2C3D4 (MIFARE Classic)"), std::string::npos) << result.out;
}

// dump -> --card-file -> dump gives the same file in every format, and the
// first dump holds what the card file holds.
TEST(Rfidctl, ACardRoundTripsThroughEveryFormatAndTheSimulator) {
  TempDir dir;
  const std::string card = dir.file("card.mfd");
  ASSERT_EQ(rfidctl(withSimulation({"--model", "vor", "--card-file", card, "write", "8",
                                    "000102030405060708090A0B0C0D0E0F"}))
                .exitCode,
            0);
  const char* models[] = {"vor", "elatec"};
  int run = 0;
  for (const char* format : {"mfd", "eml", "json", "mct", "nfc"}) {
    const std::string first = dir.file(std::string("first.") + format);
    const std::string second = dir.file(std::string("second.") + format);
    for (const auto& [from, to] : {std::pair(card, first), std::pair(first, second)}) {
      const Result result = rfidctl(withSimulation(
          {"--model", models[run++ % 2], "--quiet", "--card-file", from, "dump", "--save", to}));
      ASSERT_EQ(result.exitCode, 0) << format << result.err;
    }
    EXPECT_EQ(fileText(first), fileText(second)) << format;
    EXPECT_EQ(rfid_image::memoryOfImage(imageIn(first)), rfid_image::memoryOfImage(imageIn(card)))
        << format;
  }
}

// keys finds sector 5's key A; --save-keys writes it as a key file, or as
// the Proxmark3's binary key file (FILE.bin) with key A of each sector and
// then key B, and --keys opens the sector with either, binary ones in the
// half of the key selector.
TEST(Rfidctl, KeysFindANonDefaultKeyThatTheSavedKeyFileThenOpens) {
  const TempDir dir;
  const std::string card = dir.file("card.json");
  rfid_image::CardImage image = rfid_image::blankImage({0xA1, 0xB2, 0xC3, 0xD4});
  image.keyA[5] = rfid_image::Key{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  writeImage(card, image);
  const std::string dictionary = dir.file("dict.txt");
  std::ofstream(dictionary) << "# public keys\nFFFFFFFFFFFF\n\nB0B1B2B3B4B5\na0a1a2a3a4a5\n";
  const std::string keys = dir.file("found.keys");
  const std::string binary = dir.file("hf-mf-A1B2C3D4-key.bin");

  for (const auto& [model, saveTo] : {std::pair("elatec", keys), std::pair("vor", binary)}) {
    Result result = rfidctl(withSimulation({"--model", model, "--card-file", card, "keys", "--dict",
                                            dictionary, "--save-keys", saveTo}));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("\n 5  A0A1A2A3A4A5\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\n 6  FFFFFFFFFFFF\n"), std::string::npos);
    EXPECT_EQ(result.out.find("A0A1A2A3A4A5"), result.out.rfind("A0A1A2A3A4A5"))
        << "the key is in the table, not in the module's log lines";
    EXPECT_NE(result.err.find("keys: sector 6/16, key 3/3, at most "), std::string::npos);
    if (saveTo == binary) {
      EXPECT_NE(
          result.err.find(binary + ": key B of sectors 0-15 unknown: written as FFFFFFFFFFFF"),
          std::string::npos)
          << result.err;
    }
    result = rfidctl(
        withSimulation({"--model", "vor", "--card-file", card, "--keys", saveTo, "read", "20"}));
    EXPECT_EQ(result.exitCode, 0) << saveTo << result.err;
  }
  EXPECT_NE(fileText(keys).find("\n5:A0A1A2A3A4A5\n"), std::string::npos);
  const std::string saved = fileText(binary);
  ASSERT_EQ(saved.size(), 192u);
  EXPECT_EQ(saved.substr(30, 6), "\xA0\xA1\xA2\xA3\xA4\xA5");
  EXPECT_EQ(saved.substr(96), std::string(96, '\xFF'));

  const std::string keysA = dir.privateFile("keys-a.bin", saved.substr(0, 96));
  const std::string odd = dir.privateFile("odd.bin", saved.substr(0, 100));
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"--keys", odd, "read", "20"}, "key file " + odd + " holds 100 bytes: neither"},
      {{"--key-selector", "1", "--keys", keysA, "read", "20"}, "holds keys A only (96 bytes)"},
      {{"--key-selector", "7", "keys", "--dict", dictionary, "--save-keys", binary},
       "--save-keys FILE.bin writes keys A and B"},
  };
  for (const auto& [args, message] : refused) {
    std::vector<std::string> command = {"--model", "vor", "--card-file", card};
    command.insert(command.end(), args.begin(), args.end());
    const Result result = rfidctl(withSimulation(command));
    EXPECT_EQ(result.exitCode, 2) << message;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("A0A1A2"), std::string::npos) << result.err;
  }

  std::ofstream(dictionary) << "FFFFFFFFFFFF\n";
  const Result result = rfidctl(withSimulation(
      {"--model", "vor", "--card-file", card, "--quiet", "keys", "--dict", dictionary}));
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.out.find("\n 5  none\n"), std::string::npos) << result.out;
  EXPECT_NE(result.err.find("no key of the dictionary opens sector(s) 5"), std::string::npos);
}

TEST(Rfidctl, RestoreBringsAChangedCardBackAndReportsTheBlockTheCardRefuses) {
  TempDir dir;
  rfid_image::CardImage image = rfid_image::blankImage({0xA1, 0xB2, 0xC3, 0xD4});
  image.blocks[4] = filledBlock(0x44);
  image.blocks[13] = filledBlock(0x13);
  image.blocks[62] = filledBlock(0x62);
  const std::string saved = dir.file("saved.mct");
  writeImage(saved, image);

  rfid_image::CardImage changed = image;
  changed.blocks[4] = filledBlock(0xEE);
  changed.blocks[62] = filledBlock(0xEE);
  const std::string card = dir.file("card.mfd");
  writeImage(card, changed);
  Result result = rfidctl(
      withSimulation({"--model", "elatec", "--card-file", card, "--quiet", "restore", saved}));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(imageIn(card) == rfid_image::imageOfMemory(rfid_image::memoryOfImage(image)));

  // Block 13 read-only (access condition 010), and different from the image.
  const auto access = rfid_image::encodeAccessBits({0, 2, 0, 1});
  std::copy(access.begin(), access.end(), changed.blocks[15]->begin() + 6);
  changed.blocks[13] = filledBlock(0xEE);
  writeImage(card, changed);
  result = rfidctl(withSimulation(
      {"--model", "vor", "--card-file", card, "--quiet", "--json", "restore", saved}));
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("the card refused block(s) 13:"), std::string::npos) << result.err;
  EXPECT_NE(lastLine(result.out).find("\"refused\":[13],\"differ\":[]"), std::string::npos)
      << result.out;
  const rfid_image::CardImage after = imageIn(card);
  EXPECT_EQ(after.blocks[4], image.blocks[4]);
  EXPECT_EQ(after.blocks[13], filledBlock(0xEE));

  result = rfidctl(withSimulation(
      {"--model", "vor", "--card-file", card, "--quiet", "restore", "--dry-run", saved}));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("would write 13  13 13 13"), std::string::npos) << result.out;
}

}  // namespace
