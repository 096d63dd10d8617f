// What each operation of the module costs beside the floor it cannot avoid.
//
// Every exchange waits a fixed half second; what the module controls is the
// work around that wait. Each reader operation runs against the scripted
// pseudo-terminal reader with the real wait, interleaved with its bare
// sequence: the same flush, write, sleep and read on the same descriptor,
// then the same log bytes written with the same calls and no formatting.
// Only ratios taken within one run mean anything on a shared machine.
//
//   rfid_bench [--op-iterations=N] [--log-dir=DIR] [benchmark flags]
//   rfid_bench --syscall-driver [--log-dir=DIR]
//
// The second form calls each measured item once between two marker writes
// to descriptor -1, so that a trace of the process (strace -f) can count the
// system calls the item makes on the calling thread. Threads that only serve
// the measurement announce themselves with a marker write of their own.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "rfid_internal.h"
#include "scripted_reader.h"

namespace {

using rfid::testing::Bytes;
using rfid::testing::ScriptedReader;

constexpr double kWaitSeconds = rfid::kExchangeWaitUs / 1e6;

// ---- Markers for the system-call count ---------------------------------------

// A write to descriptor -1 fails at once and shows its text in a trace.
void traceMarker(const std::string& text) {
  if (write(-1, text.data(), text.size()) < 0) {
    // Failing is the point: the call is only there to be seen.
  }
}

void markHelperThread() {
  traceMarker("rfid-bench helper");
}

// ---- Console -------------------------------------------------------------------

// The module prints every log line on standard output. On a charger that is
// a terminal, so the C library flushes each line with one write; a
// pseudo-terminal drained by a thread stands in for it. The benchmark's own
// report goes to standard error.
void attachTerminalConsole() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    throw std::runtime_error("cannot open the console pseudo-terminal");
  }
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (terminal < 0) throw std::runtime_error("cannot open the console terminal");
  std::fflush(stdout);
  dup2(terminal, STDOUT_FILENO);
  close(terminal);
  std::thread([master] {
    markHelperThread();
    char drained[4096];
    while (read(master, drained, sizeof drained) > 0) {
    }
  }).detach();
}

// ---- Log directory ---------------------------------------------------------------

std::string logDirectory;

std::string monthlyLogPath() {
  return rfid::testing::monthlyLogFile(logDirectory);
}

off_t fileSize(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_size : 0;
}

// The entries appended to the log file since it had `offset` bytes. Every
// message of the module ends in a newline and the file entry adds one, so
// entries end in an empty line.
std::vector<std::string> entriesSince(const std::string& path, off_t offset) {
  std::vector<std::string> entries;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return entries;
  std::fseek(file, static_cast<long>(offset), SEEK_SET);
  std::string text;
  char chunk[4096];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  std::fclose(file);
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\n\n", start);
    const std::size_t stop = end == std::string::npos ? text.size() : end + 2;
    entries.push_back(text.substr(start, stop - start));
    start = stop;
  }
  return entries;
}

void removeLogDirectory() {
  std::remove(monthlyLogPath().c_str());
  rmdir(logDirectory.c_str());
}

// ---- The floors ----------------------------------------------------------------

// The exchange with nothing around it.
void bareExchange(int fd, const Bytes& frame) {
  unsigned char rx[rfid::kReceiveSize];
  (void)tcflush(fd, TCIOFLUSH);
  if (write(fd, frame.data(), frame.size()) < 0) return;
  usleep(rfid::kExchangeWaitUs);
  if (read(fd, rx, sizeof rx) < 0) return;
}

// The log entries' bytes with nothing around them: one append per entry
// with the module's open flags, and the line (the entry less its added
// newline) on the console.
void bareLogEntries(const std::vector<std::string>& entries, const char* path) {
  for (const std::string& entry : entries) {
    const int file = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (file >= 0) {
      if (write(file, entry.data(), entry.size()) < 0) {
      }
      close(file);
    }
    if (write(STDOUT_FILENO, entry.data(), entry.size() - 1) < 0) {
    }
  }
}

// A log function the way a naive module would write it: the append is left
// to a shell. Quoting keeps the line intact; the cost is the shell itself.
__attribute__((format(printf, 1, 2))) int storeLogThroughShell(const char* fmt, ...) {
  char message[rfid::kMessageSize];
  va_list args;
  va_start(args, fmt);
  const int rc = std::vsnprintf(message, sizeof message, fmt, args);
  va_end(args);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char line[rfid::kMessageSize + 64];
  std::snprintf(line, sizeof line, "[%04d.%02d.%02d %02d:%02d:%02d] - %s", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                message);
  std::string command = "printf '%s\\n' '";
  for (const char* c = line; *c != '\0'; ++c) {
    if (*c == '\'') {
      command += "'\\''";
    } else {
      command += *c;
    }
  }
  command += "' >> '" + monthlyLogPath() + "'";
  if (std::system(command.c_str()) != 0) return -1;
  std::fputs(line, stdout);
  return rc;
}

// The message of the card request's success, with the prefix the level
// macros put in front of it.
constexpr const char* kSampleFormat = "[%s:%d][%s][Info] Card type : MIFARE classic.\n";
void logSampleMessage() {
  StoreLogMessage(kSampleFormat, "rfid_vor.cpp", 187, "getRequestCardSN");
}

// ---- The reader operations -------------------------------------------------------

unsigned char serialRecord[rfid::kSerialRecordSize];
unsigned char blockData[rfid::kBlockSize];
constexpr int kBlock = 5;

template <std::size_t N>
Bytes toBytes(const unsigned char (&frame)[N]) {
  return Bytes(frame, frame + N);
}

struct Operation {
  const char* name;
  Bytes frame;  // the request the operation sends
  Bytes reply;  // the reader's answer: the success path, with its log lines
  void (*call)(int fd);
};

Bytes withBlockData(Bytes head, std::size_t tail) {
  for (std::size_t i = 0; i < rfid::kBlockSize; ++i) head.push_back(static_cast<unsigned char>(i));
  head.insert(head.end(), tail, 0);
  return head;
}

std::vector<Operation> readerOperations() {
  using namespace rfid;
  const unsigned char* key = sectorKeyA[sectorOfBlock(kBlock)];
  unsigned char request[vor::kCardRequestFrameSize];
  vor::buildCardRequestFrame(request, RFID_CMD_REQUEST_SN, REQA);
  unsigned char blockRead[vor::kBlockReadFrameSize];
  vor::buildBlockReadFrame(blockRead, RFID_CMD_BLOCK_READ, 0, kBlock, key);
  unsigned char blockWrite[vor::kBlockWriteFrameSize];
  vor::buildBlockWriteFrame(blockWrite, RFID_CMD_BLOCK_WRITE, 0, kBlock, key, blockData);
  unsigned char halt[vor::kHaltFrameSize];
  vor::buildHaltFrame(halt, RFID_CMD_HALT_14443A);
  unsigned char buzzer[vor::kBuzzerFrameSize];
  vor::buildBuzzerFrame(buzzer, RFID_CMD_BUZZER_SET, 3);
  unsigned char search[elatec::kSearchTagFrameSize];
  elatec::buildSearchTagFrame(search);
  unsigned char login[elatec::kLoginFrameSize];
  elatec::buildLoginFrame(login, kBlock, key, 0);
  unsigned char read[elatec::kReadFrameSize];
  elatec::buildReadFrame(read, kBlock);
  unsigned char write[elatec::kWriteFrameSize];
  elatec::buildWriteFrame(write, kBlock, blockData);
  unsigned char beep[elatec::kBeepFrameSize];
  elatec::buildBeepFrame(beep, 0);

  const Bytes cardReply{0x09, 0x20, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x00, 0x00, 0x00};
  const Bytes elatecDone{0x02, 0x00, 0x00, 0x01};
  return {
      {"system_command", toBytes(request), cardReply,
       [](int fd) {
         unsigned char frame[vor::kCardRequestFrameSize];
         vor::buildCardRequestFrame(frame, RFID_CMD_REQUEST_SN, REQA);
         unsigned char rx[kReceiveSize] = {};
         system_command(fd, frame, sizeof frame, rx);
       }},
      {"getRequestCardSN", toBytes(request), cardReply,
       [](int fd) { getRequestCardSN(fd, MODULE_VOR, serialRecord); }},
      {"getBlockRead", toBytes(blockRead), withBlockData({0x12, 0x21}, 1),
       [](int fd) { getBlockRead(fd, MODULE_VOR, kBlock, 0, blockData); }},
      {"setBlockWrite",
       toBytes(blockWrite),
       {0x02, 0x22, 0x20},
       [](int fd) { setBlockWrite(fd, MODULE_VOR, kBlock, 0, blockData); }},
      {"sethaltCard",
       toBytes(halt),
       {0x02, 0x28, 0x2A},
       [](int fd) { sethaltCard(fd, MODULE_VOR); }},
      {"setBuzzer",
       toBytes(buzzer),
       {0x02, 0x14, 0x16},
       [](int fd) { setBuzzer(fd, MODULE_VOR, 3); }},
      {"searchTag",
       toBytes(search),
       {0x0B, 0x00, 0x00, 0x01, 0x00, 0x00, 0x04, 0xDE, 0xAD, 0xBE, 0xEF},
       [](int fd) { searchTag(fd, MODULE_ELATEC, serialRecord, SEARCH); }},
      {"MifareClassic_Login", toBytes(login), elatecDone,
       [](int fd) { MifareClassic_Login(fd, MODULE_ELATEC, kBlock, 0); }},
      {"MifareClassic_ReadBlock", toBytes(read), withBlockData({0x12, 0x00, 0x00, 0x01}, 0),
       [](int fd) { MifareClassic_ReadBlock(fd, MODULE_ELATEC, kBlock, blockData); }},
      {"MifareClassic_WriteBlock", toBytes(write), elatecDone,
       [](int fd) { MifareClassic_WriteBlock(fd, MODULE_ELATEC, kBlock, blockData); }},
      {"SetBeep", toBytes(beep), elatecDone, [](int fd) { SetBeep(fd, MODULE_ELATEC, 0); }},
  };
}

// Serves `exchanges` requests with the operation's reply on its own thread.
class ReaderThread {
 public:
  ReaderThread(const Operation& operation, int exchanges) {
    reader_.useRealWait();
    for (int i = 0; i < exchanges; ++i) reader_.answer(operation.reply);
    server_ = std::thread([this, exchanges] {
      markHelperThread();
      for (int i = 0; i < exchanges && reader_.serveOnce(); ++i) {
      }
    });
  }
  ~ReaderThread() { server_.join(); }
  ReaderThread(const ReaderThread&) = delete;
  ReaderThread& operator=(const ReaderThread&) = delete;

  int fd() const { return reader_.fd(); }

 private:
  ScriptedReader reader_;
  std::thread server_;
};

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  return samples[samples.size() / 2];
}

// Runs the call and its floor once each per iteration, taking turns at
// going first, so that neither always runs on the cache or in the quiet
// moment the other left behind.
template <typename Call, typename Floor>
void alternate(benchmark::State& state, Call call, Floor floor) {
  bool callFirst = true;
  for (auto _ : state) {
    if (callFirst) {
      call();
      floor();
    } else {
      floor();
      call();
    }
    callFirst = !callFirst;
  }
}

// ---- The quiet wait -------------------------------------------------------------

// A reader at a real reader's pace, for the quiet wait: it answers the
// request kReplyDelay after it arrived, byte by byte at 9600 baud (8N1),
// on a thread of its own, and notes when the last byte was readable.
constexpr auto kReplyDelay = std::chrono::milliseconds(15);
constexpr auto kByteTime = std::chrono::microseconds(1042);
constexpr int kQuietMs = rfid::kDefaultQuietMs;
// What the quiet wait may take beyond the reply's end and its quiet time:
// the step at which it looks at the line (1 ms) and the wake-up after it.
constexpr double kQuietAllowanceSeconds = 0.003;

class PacedReply {
 public:
  PacedReply(ScriptedReader& reader, const Bytes& reply)
      : thread_([this, &reader, reply] {
          markHelperThread();
          if (!reader.serveOnce()) return;  // nothing scripted: only reads the request
          const auto start = std::chrono::steady_clock::now() + kReplyDelay;
          for (std::size_t i = 0; i < reply.size(); ++i) {
            std::this_thread::sleep_until(start + kByteTime * static_cast<long>(i + 1));
            reader.sendStale({reply[i]});
          }
          end_ = wallSeconds();
        }) {}
  // The time the reply's last byte was readable.
  double end() {
    thread_.join();
    return end_;
  }

 private:
  double end_ = 0;
  std::thread thread_;
};

// system_command with the quiet wait against the paced reader: the wall time
// of each call against the end of its reply plus the quiet time and the
// allowance, as a ratio (at most 1 is the target).
void BM_QuietSystemCommand(benchmark::State& state) {
  if (rfidSetReplyWait(RFID_REPLY_WAIT_QUIET, kQuietMs) != 0) state.SkipWithError("quiet wait");
  ScriptedReader reader;
  reader.useRealWait();
  const Bytes reply{0x09, 0x20, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x00, 0x00, 0x00};
  std::vector<double> ratios;
  std::vector<double> walls;
  std::vector<double> cpu;
  unsigned long allocations = 0;
  for (auto _ : state) {
    PacedReply paced(reader, reply);
    unsigned char frame[rfid::vor::kCardRequestFrameSize];
    rfid::vor::buildCardRequestFrame(frame, RFID_CMD_REQUEST_SN, REQA);
    unsigned char rx[rfid::kReceiveSize] = {};
    const double cpuStart = threadCpuSeconds();
    const double start = wallSeconds();
    rfid_alloc_count_begin();
    const int got = system_command(reader.fd(), frame, sizeof frame, rx);
    allocations += rfid_alloc_count_end();
    const double end = wallSeconds();
    cpu.push_back(threadCpuSeconds() - cpuStart);
    const double replyEnd = paced.end();
    if (got != static_cast<int>(reply.size())) state.SkipWithError("the reply was not read whole");
    walls.push_back(end - start);
    ratios.push_back((end - start) / (replyEnd - start + kQuietMs / 1e3 + kQuietAllowanceSeconds));
    state.SetIterationTime(end - start);
  }
  rfidSetReplyWait(RFID_REPLY_WAIT_FIXED, kQuietMs);
  state.counters["wall_ms"] = median(walls) * 1e3;
  state.counters["bound_ratio"] = median(ratios);
  state.counters["bound_max_ratio"] = *std::max_element(ratios.begin(), ratios.end());
  state.counters["cpu_call_us"] = median(cpu) * 1e6;
  state.counters["allocations"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

// One iteration runs the operation and its bare sequence, in alternating
// order so that neither always follows the other's sleep. Figures are
// medians: a call that another process slowed down cannot move them.
void measureOperation(benchmark::State& state, const Operation& operation) {
  const int iterations = static_cast<int>(state.max_iterations);
  ReaderThread reader(operation, 2 + 2 * iterations);
  const std::string path = monthlyLogPath();

  // The first call settles the C library's one-time work (console buffer,
  // time zone) and shows which log entries the operation writes.
  const off_t before = fileSize(path);
  operation.call(reader.fd());
  const std::vector<std::string> entries = entriesSince(path, before);
  bareExchange(reader.fd(), operation.frame);
  bareLogEntries(entries, path.c_str());

  std::vector<double> walls;
  std::vector<double> bareWalls;
  std::vector<double> callCpu;
  std::vector<double> bareCpu;
  walls.reserve(static_cast<std::size_t>(iterations));
  callCpu.reserve(static_cast<std::size_t>(iterations));
  bareCpu.reserve(static_cast<std::size_t>(iterations));
  unsigned long allocations = 0;
  alternate(
      state,
      [&] {
        const double cpuStart = threadCpuSeconds();
        const double wallStart = wallSeconds();
        rfid_alloc_count_begin();
        operation.call(reader.fd());
        allocations += rfid_alloc_count_end();
        const double wall = wallSeconds() - wallStart;
        callCpu.push_back(threadCpuSeconds() - cpuStart);
        state.SetIterationTime(wall);
        walls.push_back(wall);
      },
      [&] {
        const double cpuStart = threadCpuSeconds();
        const double wallStart = wallSeconds();
        bareExchange(reader.fd(), operation.frame);
        bareLogEntries(entries, path.c_str());
        bareWalls.push_back(wallSeconds() - wallStart);
        bareCpu.push_back(threadCpuSeconds() - cpuStart);
      });
  // Each call and the bare sequence next to it saw the same load, so the
  // ratio is taken pair by pair before the median.
  std::vector<double> pairRatios;
  for (std::size_t i = 0; i < callCpu.size() && i < bareCpu.size(); ++i) {
    if (bareCpu[i] > 0) pairRatios.push_back(callCpu[i] / bareCpu[i]);
  }
  const double callMedian = median(callCpu);
  const double bareMedian = median(bareCpu);
  state.counters["log_lines"] = static_cast<double>(entries.size());
  state.counters["wall_ratio"] = median(walls) / kWaitSeconds;
  // The bare sequence's own wall time shows how late the scheduler wakes a
  // sleeper on this machine, which no code of the module can change.
  state.counters["wall_bare_ratio"] = median(bareWalls) / kWaitSeconds;
  state.counters["wall_max_ratio"] = *std::max_element(walls.begin(), walls.end()) / kWaitSeconds;
  state.counters["cpu_call_us"] = callMedian * 1e6;
  state.counters["cpu_bare_us"] = bareMedian * 1e6;
  state.counters["cpu_ratio"] = median(pairRatios);
  state.counters["allocations"] = static_cast<double>(allocations) / iterations;
}

// ---- The log function beside its floor -----------------------------------------

// StoreLogMessage and the bare writes of its entry, in alternating blocks of
// calls timed by the thread's CPU clock, which time spent preempted does not
// advance. The ratio is that of the medians of the blocks.
constexpr int kCallsPerBlock = 8;

void BM_StoreLogMessage(benchmark::State& state) {
  const std::string path = monthlyLogPath();
  const off_t before = fileSize(path);
  logSampleMessage();
  const std::vector<std::string> entries = entriesSince(path, before);
  bareLogEntries(entries, path.c_str());

  std::vector<double> logTimes;
  std::vector<double> floorTimes;
  logTimes.reserve(static_cast<std::size_t>(state.max_iterations));
  floorTimes.reserve(static_cast<std::size_t>(state.max_iterations));
  unsigned long allocations = 0;
  alternate(
      state,
      [&] {
        const double start = threadCpuSeconds();
        rfid_alloc_count_begin();
        for (int i = 0; i < kCallsPerBlock; ++i) logSampleMessage();
        allocations += rfid_alloc_count_end();
        const double elapsed = (threadCpuSeconds() - start) / kCallsPerBlock;
        logTimes.push_back(elapsed);
        state.SetIterationTime(elapsed);
      },
      [&] {
        const double start = threadCpuSeconds();
        for (int i = 0; i < kCallsPerBlock; ++i) bareLogEntries(entries, path.c_str());
        floorTimes.push_back((threadCpuSeconds() - start) / kCallsPerBlock);
      });
  const double logMedian = median(logTimes);
  const double floorMedian = median(floorTimes);
  state.counters["log_lines"] = static_cast<double>(entries.size());
  state.counters["call_ns"] = logMedian * 1e9;
  state.counters["floor_ns"] = floorMedian * 1e9;
  state.counters["ratio"] = floorMedian > 0 ? logMedian / floorMedian : 0;
  state.counters["allocations"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations() * kCallsPerBlock);
}

void BM_StoreLogThroughShell(benchmark::State& state) {
  std::vector<double> times;
  unsigned long allocations = 0;
  for (auto _ : state) {
    const double start = wallSeconds();
    rfid_alloc_count_begin();
    storeLogThroughShell(kSampleFormat, "rfid_vor.cpp", 187, "getRequestCardSN");
    allocations += rfid_alloc_count_end();
    const double elapsed = wallSeconds() - start;
    times.push_back(elapsed);
    state.SetIterationTime(elapsed);
  }
  state.counters["log_lines"] = 1;
  state.counters["call_ns"] = median(times) * 1e9;
  state.counters["allocations"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

// ---- Checksum and frame builders --------------------------------------------------

template <std::size_t N>
void BM_ClaCheckSum(benchmark::State& state) {
  unsigned char frame[N];
  for (std::size_t i = 0; i < N; ++i) frame[i] = static_cast<unsigned char>(i * 37);
  rfid_alloc_count_begin();
  for (auto _ : state) {
    benchmark::DoNotOptimize(frame);
    benchmark::DoNotOptimize(ClaCheckSum(frame, static_cast<int>(N)));
  }
  state.counters["allocations"] =
      static_cast<double>(rfid_alloc_count_end()) / static_cast<double>(state.iterations());
}

template <std::size_t N, typename Build>
void measureBuilder(benchmark::State& state, Build build) {
  unsigned char frame[N];
  rfid_alloc_count_begin();
  for (auto _ : state) {
    build(frame);
    benchmark::DoNotOptimize(frame);
    benchmark::ClobberMemory();
  }
  state.counters["allocations"] =
      static_cast<double>(rfid_alloc_count_end()) / static_cast<double>(state.iterations());
}

void registerMicroBenchmarks() {
  using namespace rfid;
  benchmark::RegisterBenchmark("StoreLogMessage", BM_StoreLogMessage)->UseManualTime();
  benchmark::RegisterBenchmark("StoreLogMessage_through_shell", BM_StoreLogThroughShell)
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("ClaCheckSum/4", BM_ClaCheckSum<4>);
  benchmark::RegisterBenchmark("ClaCheckSum/27", BM_ClaCheckSum<27>);
  const unsigned char* key = sectorKeyA[1];
  benchmark::RegisterBenchmark("build/card_request", [](benchmark::State& state) {
    measureBuilder<vor::kCardRequestFrameSize>(
        state, [](auto& f) { vor::buildCardRequestFrame(f, RFID_CMD_REQUEST_SN, REQA); });
  });
  benchmark::RegisterBenchmark("build/block_read", [key](benchmark::State& state) {
    measureBuilder<vor::kBlockReadFrameSize>(state, [key](auto& f) {
      vor::buildBlockReadFrame(f, RFID_CMD_BLOCK_READ, 0, kBlock, key);
    });
  });
  benchmark::RegisterBenchmark("build/block_write", [key](benchmark::State& state) {
    measureBuilder<vor::kBlockWriteFrameSize>(state, [key](auto& f) {
      vor::buildBlockWriteFrame(f, RFID_CMD_BLOCK_WRITE, 0, kBlock, key, blockData);
    });
  });
  benchmark::RegisterBenchmark("build/halt", [](benchmark::State& state) {
    measureBuilder<vor::kHaltFrameSize>(
        state, [](auto& f) { vor::buildHaltFrame(f, RFID_CMD_HALT_14443A); });
  });
  benchmark::RegisterBenchmark("build/buzzer", [](benchmark::State& state) {
    measureBuilder<vor::kBuzzerFrameSize>(
        state, [](auto& f) { vor::buildBuzzerFrame(f, RFID_CMD_BUZZER_SET, 3); });
  });
  benchmark::RegisterBenchmark("build/search_tag", [](benchmark::State& state) {
    measureBuilder<elatec::kSearchTagFrameSize>(state,
                                                [](auto& f) { elatec::buildSearchTagFrame(f); });
  });
  benchmark::RegisterBenchmark("build/login", [key](benchmark::State& state) {
    measureBuilder<elatec::kLoginFrameSize>(
        state, [key](auto& f) { elatec::buildLoginFrame(f, kBlock, key, 0); });
  });
  benchmark::RegisterBenchmark("build/read", [](benchmark::State& state) {
    measureBuilder<elatec::kReadFrameSize>(state,
                                           [](auto& f) { elatec::buildReadFrame(f, kBlock); });
  });
  benchmark::RegisterBenchmark("build/write", [](benchmark::State& state) {
    measureBuilder<elatec::kWriteFrameSize>(
        state, [](auto& f) { elatec::buildWriteFrame(f, kBlock, blockData); });
  });
  benchmark::RegisterBenchmark("build/beep", [](benchmark::State& state) {
    measureBuilder<elatec::kBeepFrameSize>(state, [](auto& f) { elatec::buildBeepFrame(f, 0); });
  });
}

// ---- System-call driver -----------------------------------------------------------

// Each item once to settle the C library's one-time work, then once between
// markers. The begin marker carries the item's log-line count.
void runSyscallDriver() {
  const std::string path = monthlyLogPath();
  auto traced = [](const std::string& name, std::size_t lines, auto&& call) {
    traceMarker("rfid-bench begin " + name + " " + std::to_string(lines));
    call();
    traceMarker("rfid-bench end " + name);
  };
  for (const Operation& operation : readerOperations()) {
    ReaderThread reader(operation, 2);
    const off_t before = fileSize(path);
    operation.call(reader.fd());
    const std::size_t lines = entriesSince(path, before).size();
    traced(operation.name, lines, [&] { operation.call(reader.fd()); });
  }
  {
    ScriptedReader reader;
    reader.useRealWait();
    rfidSetReplyWait(RFID_REPLY_WAIT_QUIET, kQuietMs);
    const Bytes reply{0x09, 0x20, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x00, 0x00, 0x00};
    unsigned char frame[rfid::vor::kCardRequestFrameSize];
    rfid::vor::buildCardRequestFrame(frame, RFID_CMD_REQUEST_SN, REQA);
    unsigned char rx[rfid::kReceiveSize];
    for (int round = 0; round < 2; ++round) {
      PacedReply paced(reader, reply);
      if (round == 0) {
        system_command(reader.fd(), frame, sizeof frame, rx);
      } else {
        traced("system_command_quiet", 0,
               [&] { system_command(reader.fd(), frame, sizeof frame, rx); });
      }
      paced.end();
    }
    rfidSetReplyWait(RFID_REPLY_WAIT_FIXED, kQuietMs);
  }
  const off_t before = fileSize(path);
  logSampleMessage();
  const std::vector<std::string> entries = entriesSince(path, before);
  traced("StoreLogMessage", entries.size(), logSampleMessage);
  traced("StoreLogMessage_floor", entries.size(), [&] { bareLogEntries(entries, path.c_str()); });
  traced("StoreLogMessage_through_shell", 1,
         [] { storeLogThroughShell(kSampleFormat, "rfid_vor.cpp", 187, "getRequestCardSN"); });
}

std::string makeLogDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/rfid-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a log directory");
  return pattern;
}

bool takeFlag(std::vector<char*>& args, const std::string& name, std::string& value) {
  for (auto it = args.begin() + 1; it != args.end(); ++it) {
    const std::string arg = *it;
    if (arg == name || arg.rfind(name + "=", 0) == 0) {
      value = arg.size() > name.size() ? arg.substr(name.size() + 1) : "";
      args.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  std::string value;
  const bool syscallDriver = takeFlag(args, "--syscall-driver", value);
  int opIterations = 10;
  if (takeFlag(args, "--op-iterations", value))
    opIterations = std::max(1, std::atoi(value.c_str()));
  const bool ownDirectory = !takeFlag(args, "--log-dir", value);
  logDirectory = ownDirectory ? makeLogDirectory() : value;
  const rfid::ScopedLogDirectory logSeam(logDirectory.c_str());

  try {
    attachTerminalConsole();
    if (syscallDriver) {
      runSyscallDriver();
    } else {
      for (const Operation& operation : readerOperations()) {
        benchmark::RegisterBenchmark(
            (std::string("op/") + operation.name).c_str(),
            [operation](benchmark::State& state) { measureOperation(state, operation); })
            ->Iterations(opIterations)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
      }
      benchmark::RegisterBenchmark("quiet/system_command", BM_QuietSystemCommand)
          ->Iterations(opIterations)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
      registerMicroBenchmarks();
      int benchmarkArgc = static_cast<int>(args.size());
      benchmark::Initialize(&benchmarkArgc, args.data());
      benchmark::ConsoleReporter display(benchmark::ConsoleReporter::OO_Tabular);
      display.SetOutputStream(&std::cerr);
      display.SetErrorStream(&std::cerr);
      benchmark::RunSpecifiedBenchmarks(&display);
      benchmark::Shutdown();
    }
  } catch (const std::exception& error) {
    std::cerr << "rfid_bench: " << error.what() << '\n';
    if (ownDirectory) removeLogDirectory();
    return 1;
  }
  if (ownDirectory) removeLogDirectory();
  return 0;
}
