// Runs part of a test in a forked child, for what must not touch the test
// process itself: dropped privileges, resource limits, many writers.
#ifndef RFID_TESTS_HARDENING_CHILD_PROCESS_H
#define RFID_TESTS_HARDENING_CHILD_PROCESS_H

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

namespace rfid::hardening {

// The unprivileged account a root test process drops to.
constexpr uid_t kNobody = 65534;

// How a child ended.
struct ChildEnd {
  int status = 0;
  bool cleanExit() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
  std::string describe() const {
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
    return "status " + std::to_string(status);
  }
};

// Forks, runs `body` in the child (its result is the exit code) and waits.
// The child leaves with _exit so that it never runs the parent's tests.
template <typename Body>
pid_t startChild(Body body) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 100;
    try {
      code = body();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "child: %s\n", error.what());
    }
    std::fflush(stdout);
    _exit(code);
  }
  return pid;
}

inline ChildEnd waitForChild(pid_t pid) {
  ChildEnd end;
  if (pid < 0 || waitpid(pid, &end.status, 0) != pid) end.status = -1;
  return end;
}

template <typename Body>
ChildEnd runInChild(Body body) {
  return waitForChild(startChild(body));
}

// In a child: gives up root for the unprivileged account. A process that is
// not root already runs unprivileged. Returns false when it cannot.
inline bool dropPrivileges() {
  if (geteuid() != 0) return true;
  return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0 &&
         geteuid() == kNobody;
}

}  // namespace rfid::hardening

#endif  // RFID_TESTS_HARDENING_CHILD_PROCESS_H
