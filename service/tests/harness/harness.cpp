#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "rfid_host/log_file.h"

extern char** environ;

namespace rfid_tokend_test {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  for (std::string part; std::getline(stream, part, separator);) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

// The null-terminated array that exec takes, pointing into `strings`.
std::vector<char*> execArray(const std::vector<std::string>& strings) {
  std::vector<char*> array;
  for (const std::string& entry : strings) array.push_back(const_cast<char*>(entry.c_str()));
  array.push_back(nullptr);
  return array;
}

// fork and exec without anything unsafe in between: the tests have threads
// (simulated readers, MQTT clients).
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& environment,
            int stdoutFd, int stderrFd) {
  std::vector<char*> argv = execArray(args);
  std::vector<char*> envp = execArray(environment);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // As a service manager starts it: the MQTT library of this process
    // ignores SIGPIPE, which would otherwise be inherited.
    ::signal(SIGPIPE, SIG_DFL);
    if (stdoutFd >= 0) ::dup2(stdoutFd, STDOUT_FILENO);
    if (stderrFd >= 0) ::dup2(stderrFd, STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

std::vector<std::string> currentEnvironment() {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "RFID_TOKEND_EMULATOR=", 21) != 0) environment.emplace_back(*entry);
  }
  return environment;
}

int waitExit(pid_t pid, milliseconds bound) {
  const auto until = Clock::now() + bound;
  int status = 0;
  while (Clock::now() < until) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return -1;
}

bool accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

milliseconds scaled(milliseconds bound) {
  const char* scale = std::getenv("RFID_TEST_TIME_SCALE");
  const double factor = scale != nullptr ? std::atof(scale) : 1.0;
  return milliseconds(static_cast<long long>(bound.count() * (factor > 0 ? factor : 1.0)));
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

ScopedSanitizerOption::ScopedSanitizerOption(const std::string& option) {
  if (!kAddressSanitizer) return;
  const char* current = std::getenv("ASAN_OPTIONS");
  hadBefore_ = current != nullptr;
  if (hadBefore_) before_ = current;
  const std::string options = hadBefore_ && !before_.empty() ? before_ + ":" + option : option;
  set_ = ::setenv("ASAN_OPTIONS", options.c_str(), 1) == 0;
}

ScopedSanitizerOption::~ScopedSanitizerOption() {
  if (!set_) return;
  if (hadBefore_) {
    ::setenv("ASAN_OPTIONS", before_.c_str(), 1);
  } else {
    ::unsetenv("ASAN_OPTIONS");
  }
}

bool eventually(const std::function<bool()>& done, milliseconds bound) {
  const auto until = Clock::now() + scaled(bound);
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
}

TempDir::TempDir() {
  char pattern[] = "/tmp/rfid_tokend_test_XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& text, mode_t mode) const {
  const std::string target = file(name);
  std::ofstream(target, std::ios::trunc) << text;
  ::chmod(target.c_str(), mode);
  return target;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string monthlyLog(const std::string& directory) {
  return readFile(directory + "/" + rfid_host::monthlyLogFileName());
}

int countInLog(const std::string& directory, const std::string& text) {
  const std::string log = monthlyLog(directory);
  int count = 0;
  for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
    ++count;
  }
  return count;
}

bool runProgram(const std::vector<std::string>& argv) {
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = spawn(argv, currentEnvironment(), devNull, devNull);
  ::close(devNull);
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// ---- Broker ------------------------------------------------------------------

Broker::Broker(const TempDir& dir, std::string config, std::vector<int> ports)
    : configPath_(dir.file("mosquitto.conf")), ports_(std::move(ports)) {
  // Persistence lets sessions outlive a restart, as on a charger.
  config += "persistence true\npersistence_location " + dir.path() + "/\n";
  config += "log_dest file " + dir.file("mosquitto.log") + "\n";
  if (::geteuid() == 0) config += "user root\n";
  std::ofstream(configPath_) << config;
  start();
}

Broker::~Broker() {
  stop();
}

void Broker::start() {
  // Its complaint about running as root goes nowhere; its log is in the file.
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_ = spawn({MOSQUITTO_BROKER, "-c", configPath_}, currentEnvironment(), devNull, devNull);
  ::close(devNull);
  const bool up = eventually(
      [this] {
        for (const int port : ports_) {
          if (!accepts(port)) return false;
        }
        return true;
      },
      milliseconds(5000));
  if (!up) throw std::runtime_error("mosquitto did not start; see " + configPath_);
}

void Broker::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (waitExit(pid_, scaled(milliseconds(5000))) == -1) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

// ---- Subscriber ----------------------------------------------------------------

Subscriber::Subscriber(int port, const ClientAuth& auth, const std::string& sessionId) {
  static const int initialised = mosquitto_lib_init();
  (void)initialised;
  client_ = mosquitto_new(sessionId.empty() ? nullptr : sessionId.c_str(), sessionId.empty(), this);
  mosquitto_message_callback_set(client_, &Subscriber::onMessage);
  mosquitto_connect_callback_set(client_, [](mosquitto* client, void*, int rc) {
    if (rc == 0) mosquitto_subscribe(client, nullptr, "#", 1);
  });
  mosquitto_reconnect_delay_set(client_, 1, 1, false);
  if (!auth.username.empty()) {
    mosquitto_username_pw_set(client_, auth.username.c_str(), auth.password.c_str());
  }
  if (!auth.caFile.empty())
    mosquitto_tls_set(client_, auth.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
  if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error("the subscriber cannot connect");
  }
  mosquitto_loop_start(client_);
}

Subscriber::~Subscriber() {
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);
  mosquitto_destroy(client_);
}

void Subscriber::onMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* subscriber = static_cast<Subscriber*>(self);
  const std::lock_guard<std::mutex> lock(subscriber->mutex_);
  subscriber->received_.push_back(
      {message->topic, std::string(static_cast<const char*>(message->payload),
                                   static_cast<std::size_t>(message->payloadlen))});
}

void Subscriber::publish(const std::string& topic, const std::string& payload) {
  mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                    payload.data(), 1, false);
}

std::vector<std::string> Subscriber::payloads(const std::string& topic) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> found;
  for (const Received& message : received_) {
    if (message.topic == topic) found.push_back(message.payload);
  }
  return found;
}

int Subscriber::count(const std::string& topic, const std::string& payload) const {
  int found = 0;
  for (const std::string& candidate : payloads(topic)) {
    if (candidate.find(payload) != std::string::npos) ++found;
  }
  return found;
}

// ---- Service -------------------------------------------------------------------

namespace {

// The service's command line, through the emulator of a cross build, and
// the environment that makes it start its workers the same way.
std::vector<std::string> serviceCommand(const std::vector<std::string>& args,
                                        std::vector<std::string>& environment) {
  std::vector<std::string> command = split(RFID_TOKEND_COMMAND, '|');
  environment = currentEnvironment();
  std::string emulator;
  for (std::size_t i = 0; i + 1 < command.size(); ++i) emulator += command[i] + " ";
  if (!emulator.empty()) environment.push_back("RFID_TOKEND_EMULATOR=" + emulator);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

}  // namespace

Service::Service(const std::vector<std::string>& args) : errorFile_(dir_.file("stderr")) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const int errors = ::open(errorFile_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  std::vector<std::string> environment;
  const auto command = serviceCommand(args, environment);
  pid_ = spawn(command, environment, pipeFds[1], errors);
  ::close(pipeFds[1]);
  ::close(errors);
  output_ = pipeFds[0];
  ::fcntl(output_, F_SETFL, O_NONBLOCK);
}

Service::~Service() {
  if (pid_ > 0 && stop(SIGTERM, milliseconds(3000)) == -1) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) ::close(output_);
}

void Service::readOutput() {
  if (output_ < 0) return;
  char chunk[4096];
  for (ssize_t got; (got = ::read(output_, chunk, sizeof chunk)) > 0;) {
    pending_.append(chunk, static_cast<std::size_t>(got));
  }
  for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
    lines_.push_back(pending_.substr(0, end));
    pending_.erase(0, end + 1);
  }
}

const std::vector<std::string>& Service::lines() {
  readOutput();
  return lines_;
}

int Service::countLines(const std::string& text) {
  int count = 0;
  for (const std::string& line : lines()) {
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

bool Service::waitForLine(const std::string& text, milliseconds bound, int occurrences) {
  return eventually([&] { return countLines(text) >= occurrences; }, bound);
}

int Service::stop(int signal, milliseconds bound) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  const int status = waitExit(pid_, scaled(bound));
  if (status != -1) pid_ = -1;
  readOutput();
  return status;
}

void Service::closeOutput() {
  readOutput();
  ::close(output_);
  output_ = -1;
}

Outcome runService(const std::vector<std::string>& args) {
  TempDir dir;
  const std::string errorPath = dir.file("stderr");
  const int errors = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  std::vector<std::string> environment;
  const pid_t pid = spawn(serviceCommand(args, environment), environment, devNull, errors);
  ::close(errors);
  ::close(devNull);
  int status = waitExit(pid, scaled(milliseconds(5000)));
  if (status == -1) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(errorPath)};
}

FullPipe::FullPipe() {
  if (::pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  ::fcntl(fds_[1], F_SETPIPE_SZ, 4096);
  // The test's own non-blocking descriptors: the ends the service gets
  // block, as a pipe from a shell or a service manager does.
  const auto reopen = [](int fd, int mode) {
    return ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), mode | O_NONBLOCK | O_CLOEXEC);
  };
  reader_ = reopen(fds_[0], O_RDONLY);
  writer_ = reopen(fds_[1], O_WRONLY);
  if (reader_ < 0 || writer_ < 0) throw std::runtime_error("reopening a pipe");
  fill();
}

FullPipe::~FullPipe() {
  for (const int fd : {fds_[0], fds_[1], reader_, writer_}) ::close(fd);
}

void FullPipe::fill() {
  // Whole lines, so that what the service writes after a drain starts a line.
  const std::string line(63, '.');
  while (::write(writer_, (line + "\n").data(), line.size() + 1) > 0) {
  }
}

std::vector<std::string> FullPipe::drain() {
  char chunk[4096];
  for (ssize_t got; (got = ::read(reader_, chunk, sizeof chunk)) > 0;) {
    pending_.append(chunk, static_cast<std::size_t>(got));
  }
  std::vector<std::string> lines;
  for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
    lines.push_back(pending_.substr(0, end));
    pending_.erase(0, end + 1);
  }
  return lines;
}

pid_t startService(const std::vector<std::string>& args, int output, int errors, bool closeInput) {
  std::vector<std::string> environment;
  const std::vector<std::string> command = serviceCommand(args, environment);
  std::vector<char*> argv = execArray(command);
  std::vector<char*> envp = execArray(environment);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    output >= 0 ? ::dup2(output, STDOUT_FILENO) : ::close(STDOUT_FILENO);
    errors >= 0 ? ::dup2(errors, STDERR_FILENO) : ::close(STDERR_FILENO);
    if (closeInput) ::close(STDIN_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

int stopService(pid_t pid, int signal, milliseconds bound) {
  ::kill(pid, signal);
  const int status = waitExit(pid, scaled(bound));
  if (status == -1) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return status;
}

}  // namespace rfid_tokend_test
