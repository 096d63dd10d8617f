// Diagnostics log: every message of the module ends up here.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "rfid_internal.h"

#ifndef RFID_LOG_DIR
#define RFID_LOG_DIR "/Storage/SystemLog"
#endif

namespace rfid {
const char* logDirectory = RFID_LOG_DIR;
}  // namespace rfid

namespace {

// Room in front of the message for the stamp "[YYYY.MM.DD hh:mm:ss] - ".
// The stamp is formatted into this room after the message and moved up
// against it, so the line is built in place: no second copy of a 4 KiB
// message on the stack of a small board. 80 bytes hold the stamp even with
// six 11-character fields.
constexpr std::size_t kStampRoom = 80;
// Stamp room, message, and the newline that only the file entry gets.
constexpr std::size_t kLineBufferSize = kStampRoom + rfid::kMessageSize + 1;
// Directory, "/", "[YYYY.MM]SystemLog" and the terminating zero.
constexpr std::size_t kPathSize = rfid::kLogPathSize;
constexpr std::size_t kFileNameRoom = rfid::kLogFileNameRoom;
static_assert(sizeof(RFID_LOG_DIR) + kFileNameRoom <= kPathSize, "RFID_LOG_DIR is too long");
constexpr std::size_t kTimeStringSize = 22;

// A 32-bit C library that predates 64-bit time ignores _TIME_BITS and keeps
// a 32-bit time_t: stamps and file names would go wrong in January 2038.
static_assert(sizeof(std::time_t) >= 8, "time_t must be 64 bits: the C library ignored _TIME_BITS");

// Writes `value` (0 or more) as exactly `width` zero-padded digits.
char* putDigits(char* out, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

// The stamp and file name are written digit by digit: snprintf costs as much
// as the rest of an entry. Fields outside the fixed widths (a year past 9999)
// go through snprintf, which widens them as "%04d" would.
bool fitsFixedWidths(const std::tm& time) {
  return time.tm_year >= -1900 && time.tm_year <= 9999 - 1900 && time.tm_mon >= 0 &&
         time.tm_mon <= 11 && time.tm_mday >= 0 && time.tm_mday <= 99 && time.tm_hour >= 0 &&
         time.tm_hour <= 99 && time.tm_min >= 0 && time.tm_min <= 99 && time.tm_sec >= 0 &&
         time.tm_sec <= 99;
}

// Writes "[YYYY.MM.DD hh:mm:ss] - " into `out` (kStampRoom bytes) and
// returns its length, without a terminating zero.
std::size_t formatStamp(char* out, const std::tm& local) {
  if (!fitsFixedWidths(local)) {
    const int length =
        std::snprintf(out, kStampRoom, "[%04d.%02d.%02d %02d:%02d:%02d] - ", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return length < 0 ? 0 : std::min(static_cast<std::size_t>(length), kStampRoom - 1);
  }
  char* p = out;
  *p++ = '[';
  p = putDigits(p, local.tm_year + 1900, 4);
  *p++ = '.';
  p = putDigits(p, local.tm_mon + 1, 2);
  *p++ = '.';
  p = putDigits(p, local.tm_mday, 2);
  *p++ = ' ';
  p = putDigits(p, local.tm_hour, 2);
  *p++ = ':';
  p = putDigits(p, local.tm_min, 2);
  *p++ = ':';
  p = putDigits(p, local.tm_sec, 2);
  constexpr char kSeparator[] = "] - ";
  std::memcpy(p, kSeparator, sizeof kSeparator - 1);
  return static_cast<std::size_t>(p - out) + sizeof kSeparator - 1;
}

// Writes "<directory>/[YYYY.MM]SystemLog" into `path` (kPathSize bytes).
// Returns false when it does not fit.
bool formatLogPath(char* path, const std::tm& local) {
  const std::size_t directoryLength = std::strlen(rfid::logDirectory);
  if (!fitsFixedWidths(local) || directoryLength + kFileNameRoom > kPathSize) {
    const int length = std::snprintf(path, kPathSize, "%s/[%04d.%02d]SystemLog", rfid::logDirectory,
                                     local.tm_year + 1900, local.tm_mon + 1);
    return length >= 0 && static_cast<std::size_t>(length) < kPathSize;
  }
  char* p = path;
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the name and its zero follow
  std::memcpy(p, rfid::logDirectory, directoryLength);
  p += directoryLength;
  *p++ = '/';
  *p++ = '[';
  p = putDigits(p, local.tm_year + 1900, 4);
  *p++ = '.';
  p = putDigits(p, local.tm_mon + 1, 2);
  constexpr char kFileNameEnd[] = "]SystemLog";
  std::memcpy(p, kFileNameEnd, sizeof kFileNameEnd);  // with its terminating zero
  return true;
}

// A charger's time zone may be changed while the host runs, and entries must
// then be stamped in the new zone; localtime_r() alone never looks again.
// glibc's tzset() notices a change, but with TZ unset it also frees and
// copies the zone's name on every call, one heap allocation per log line,
// besides its stat of the zone file. So:
// - with TZ set, tzset() runs for every entry: glibc compares the string and
//   returns at once when it is unchanged (no allocation, no system call);
// - with TZ unset, the zone file is looked at at most once per second of the
//   clock, and tzset() runs when the file changed or when the zone came from
//   TZ before. An entry in the very second of a zone file change may still
//   carry the old zone.
// The log is exported and hosts call it from several threads, so the cache
// is read and written under a lock; an uncontended lock costs no system call.
struct ZoneFile {
  bool exists;
  dev_t device;
  ino_t inode;
  off_t size;
  timespec modified;

  bool operator==(const ZoneFile& other) const {
    return exists == other.exists && device == other.device && inode == other.inode &&
           size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec;
  }
};

ZoneFile statZoneFile() {
  struct stat zone {};
  if (stat("/etc/localtime", &zone) != 0) return ZoneFile{};
  return ZoneFile{true, zone.st_dev, zone.st_ino, zone.st_size, zone.st_mtim};
}

class ZoneCache {
 public:
  void refresh(std::time_t now) {
    pthread_mutex_lock(&lock_);
    if (std::getenv("TZ") != nullptr) {
      tzset();
      zoneFromFile_ = false;
    } else if (!zoneFromFile_ || now != lookedAt_) {
      lookedAt_ = now;
      const ZoneFile current = statZoneFile();
      if (!zoneFromFile_ || !(current == seen_)) {
        tzset();
        seen_ = current;
        zoneFromFile_ = true;
      }
    }
    pthread_mutex_unlock(&lock_);
  }

 private:
  pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
  // False until the zone was last set up from /etc/localtime (at start, and
  // after every entry stamped while TZ was set).
  bool zoneFromFile_ = false;
  std::time_t lookedAt_ = 0;
  ZoneFile seen_{};
};

ZoneCache zoneCache;

// rfidSetLogDirectory() copies the host's directory here. The copy is
// written and read under the lock, so an entry logged by another thread
// meanwhile goes whole to the old or the new directory.
pthread_mutex_t directoryLock = PTHREAD_MUTEX_INITIALIZER;
char hostDirectory[rfid::kMaxLogDirectoryLength + 1];

bool lockedLogPath(char* path, const std::tm& local) {
  pthread_mutex_lock(&directoryLock);
  const bool formatted = formatLogPath(path, local);
  pthread_mutex_unlock(&directoryLock);
  return formatted;
}

// Appends one entry with a single write: the one write path of the file.
// O_APPEND makes the kernel place the whole entry at the end of the file
// even when other processes append to the same file, and no shell sees the
// message. A failure loses the entry: written in the caller's thread it is
// lost silently, since the log has no better place to report its own fault;
// the queued writer below counts it. Returns 0, or the errno value of the
// failure (ENOSPC for a write cut short).
int appendEntry(const std::tm& local, const char* entry, std::size_t length) {
  char path[kPathSize];
  if (!lockedLogPath(path, local)) return ENAMETOOLONG;
  const rfid::FileDescriptor file(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  if (file.get() < 0) return errno;
  // The entry is lost or cut on a full medium; nothing is retried.
  const ssize_t written = write(file.get(), entry, length);
  if (written < 0) return errno;
  return static_cast<std::size_t>(written) == length ? 0 : ENOSPC;
}

// ---- The queued writer (rfidSetLogQueue) ----------------------------------
//
// Beneath the entry a message became and above appendEntry(): callers hand
// the entry to a ring of kQueueBytes and return; one thread takes entries
// out in order and appends them. The ring never waits for the medium: an
// entry that does not fit is dropped and counted, and the count is appended
// as an entry of its own after the next entry that reached the file.

constexpr std::size_t kQueueBytes = std::size_t{64} * 1024;
constexpr long long kBlockedAfterNs = 1000000000;  // one entry on its way this long: blocked
constexpr std::size_t kLostEntrySize = 96;
// What rfidSetLogQueue(0) waits for the queue at most: a host that turns it
// off at exit keeps its last entries, and a blocked medium delays the exit
// by no more than this.
constexpr long long kDrainBoundNs = 100000000;
// How often the count of lost entries is tried while nothing else comes.
constexpr long long kRetryNs = 1000000000;

long long monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The wall-clock time `ns` from now, as pthread_cond_timedwait() takes it.
timespec realtimeIn(long long ns) {
  timespec until{};
  clock_gettime(CLOCK_REALTIME, &until);
  const long long end = static_cast<long long>(until.tv_nsec) + ns;
  until.tv_sec += static_cast<std::time_t>(end / 1000000000);
  until.tv_nsec = static_cast<long>(end % 1000000000);
  return until;
}

struct QueuedEntry {
  std::tm local;  // picks the monthly file
  std::size_t length;
};

class EntryQueue {
 public:
  // Starts the writer thread once, with every signal blocked in it.
  bool start() {
    pthread_mutex_lock(&lock_);
    bool running = started_;
    if (!running) {
      sigset_t all;
      sigset_t saved;
      sigfillset(&all);
      pthread_sigmask(SIG_SETMASK, &all, &saved);
      pthread_attr_t attributes;
      pthread_attr_init(&attributes);
      pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
      pthread_t thread;
      running = pthread_create(&thread, &attributes, &EntryQueue::run, this) == 0;
      pthread_attr_destroy(&attributes);
      pthread_sigmask(SIG_SETMASK, &saved, nullptr);
      started_ = running;
    }
    pthread_mutex_unlock(&lock_);
    return running;
  }

  void push(const std::tm& local, const char* entry, std::size_t length) {
    const QueuedEntry header{local, length};
    pthread_mutex_lock(&lock_);
    if (used_ + sizeof header + length > kQueueBytes) {
      ++lostTotal_;
      ++lostUnwritten_;
      overflowed_ = true;
    } else {
      put(&header, sizeof header);
      put(entry, length);
      pthread_cond_signal(&ready_);
    }
    pthread_mutex_unlock(&lock_);
  }

  // Waits until every queued entry is in the file, `boundNs` at most.
  void drain(long long boundNs) {
    const timespec until = realtimeIn(boundNs);
    pthread_mutex_lock(&lock_);
    while (started_ && (used_ > 0 || busySince_ != 0)) {
      if (pthread_cond_timedwait(&drained_, &lock_, &until) != 0) break;
    }
    pthread_mutex_unlock(&lock_);
  }

  int state(unsigned long* lost) {
    pthread_mutex_lock(&lock_);
    int why = 0;
    if (busySince_ != 0 && monotonicNs() - busySince_ > kBlockedAfterNs) {
      why = ETIMEDOUT;
    } else if (failure_ != 0) {
      why = failure_;
    } else if (overflowed_) {
      why = ENOBUFS;
    }
    if (lost != nullptr) *lost = lostTotal_;
    pthread_mutex_unlock(&lock_);
    return why;
  }

 private:
  static void* run(void* self) {
    static_cast<EntryQueue*>(self)->writeEntries();
    return nullptr;
  }

  void writeEntries() {
    pthread_mutex_lock(&lock_);
    for (;;) {
      if (used_ == 0) {
        if (lostUnwritten_ == 0) {
          pthread_cond_wait(&ready_, &lock_);
          continue;
        }
        // Entries were lost: the count is tried every kRetryNs even when no
        // entry comes, so that a medium that is back is noticed.
        const timespec until = realtimeIn(kRetryNs);
        if (pthread_cond_timedwait(&ready_, &lock_, &until) == ETIMEDOUT && used_ == 0) {
          writeLostCount();
        }
        continue;
      }
      QueuedEntry header{};
      take(&header, sizeof header);
      take(entry_, header.length);
      busySince_ = monotonicNs();
      pthread_mutex_unlock(&lock_);
      const int failure = appendEntry(header.local, entry_, header.length);
      pthread_mutex_lock(&lock_);
      busySince_ = 0;
      pthread_cond_broadcast(&drained_);
      failure_ = failure;
      if (failure != 0) {
        ++lostTotal_;
        ++lostUnwritten_;
      } else if (lostUnwritten_ > 0) {
        writeLostCount();
      } else {
        overflowed_ = false;
      }
    }
  }

  // Called with the lock held, which it lets go of while it writes.
  void writeLostCount() {
    const unsigned long lost = lostUnwritten_;
    lostUnwritten_ = 0;
    busySince_ = monotonicNs();
    pthread_mutex_unlock(&lock_);
    const int failure = appendLostCount(lost);
    pthread_mutex_lock(&lock_);
    busySince_ = 0;
    pthread_cond_broadcast(&drained_);
    failure_ = failure;
    if (failure == 0) {
      overflowed_ = false;
    } else {
      lostUnwritten_ += lost;  // counted again with the next
    }
  }

  // Appends "[stamp] - [rfid_log.cpp][log queue][Warn] N log entries were lost."
  int appendLostCount(unsigned long lost) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char entry[kStampRoom + kLostEntrySize];
    const std::size_t stamp = formatStamp(entry, local);
    const int text =
        std::snprintf(entry + stamp, kLostEntrySize,
                      "[rfid_log.cpp][log queue][Warn] %lu log entries were lost.\n", lost);
    if (text < 0) return EINVAL;
    const std::size_t length = stamp + std::min(static_cast<std::size_t>(text), kLostEntrySize - 1);
    return appendEntry(local, entry, length);
  }

  // Copy into and out of the ring, across its end where needed.
  void put(const void* from, std::size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(from);
    const std::size_t tail = (head_ + used_) % kQueueBytes;
    const std::size_t first = std::min(count, kQueueBytes - tail);
    std::memcpy(ring_ + tail, bytes, first);
    std::memcpy(ring_, bytes + first, count - first);
    used_ += count;
  }
  void take(void* to, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(to);
    const std::size_t first = std::min(count, kQueueBytes - head_);
    std::memcpy(bytes, ring_ + head_, first);
    std::memcpy(bytes + first, ring_, count - first);
    head_ = (head_ + count) % kQueueBytes;
    used_ -= count;
  }

  pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t ready_ = PTHREAD_COND_INITIALIZER;
  pthread_cond_t drained_ = PTHREAD_COND_INITIALIZER;
  bool started_ = false;
  unsigned char ring_[kQueueBytes] = {};
  std::size_t head_ = 0;
  std::size_t used_ = 0;
  char entry_[kLineBufferSize] = {};  // the entry on its way, the writer's own
  long long busySince_ = 0;           // when that entry was taken out, 0 when none is
  int failure_ = 0;                   // of the latest entry written
  bool overflowed_ = false;           // entries dropped since the latest entry written
  unsigned long lostTotal_ = 0;
  unsigned long lostUnwritten_ = 0;  // lost entries not counted in the file yet
};

EntryQueue entryQueue;
std::atomic<bool> queued{false};

// Where every entry goes: the queue when the host turned it on, else the
// file in the caller's thread.
void deliverEntry(const std::tm& local, const char* entry, std::size_t length) {
  if (queued.load(std::memory_order_relaxed)) {
    entryQueue.push(local, entry, length);
  } else {
    (void)appendEntry(local, entry, length);
  }
}

}  // namespace

extern "C" int StoreLogMessage(const char* fmt, ...) {
  if (fmt == nullptr) return -1;

  char line[kLineBufferSize];
  char* const message = line + kStampRoom;

  va_list args;
  va_start(args, fmt);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): initialised above
  const int rc = std::vsnprintf(message, rfid::kMessageSize, fmt, args);
  va_end(args);
  // The message is taken as formatted, embedded zero bytes included.
  const std::size_t messageLength =
      rc < 0 ? 0 : std::min(static_cast<std::size_t>(rc), rfid::kMessageSize - 1);

  const std::time_t now = std::time(nullptr);
  zoneCache.refresh(now);
  std::tm local{};
  localtime_r(&now, &local);

  const std::size_t stampBytes = formatStamp(line, local);
  char* const lineStart = message - stampBytes;
  std::memmove(lineStart, line, stampBytes);
  const std::size_t lineLength = stampBytes + messageLength;

  // The file entry is the line plus one newline; the console gets the line.
  message[messageLength] = '\n';
  deliverEntry(local, lineStart, lineLength + 1);
  message[messageLength] = '\0';

  std::fwrite(lineStart, 1, lineLength, stdout);
  return rc;
}

extern "C" int rfidSetLogDirectory(const char* directory) {
  if (directory == nullptr) return -1;
  const std::size_t length = strnlen(directory, rfid::kMaxLogDirectoryLength + 1);
  if (length == 0 || length > rfid::kMaxLogDirectoryLength) return -1;
  pthread_mutex_lock(&directoryLock);
  std::memcpy(hostDirectory, directory, length);
  hostDirectory[length] = '\0';
  rfid::logDirectory = hostDirectory;
  pthread_mutex_unlock(&directoryLock);
  return 0;
}

extern "C" int rfidSetLogQueue(int on) {
  if (on != 0 && on != 1) return -1;
  if (on == 1 && !entryQueue.start()) return -1;
  queued.store(on == 1, std::memory_order_relaxed);
  if (on == 0) entryQueue.drain(kDrainBoundNs);
  return 0;
}

extern "C" int rfidLogMediumState(unsigned long* lost) {
  if (!queued.load(std::memory_order_relaxed)) {
    if (lost != nullptr) *lost = 0;
    return 0;
  }
  return entryQueue.state(lost);
}

extern "C" char* getTimeString(void) {
  // NOLINTNEXTLINE(cppcoreguidelines-no-malloc): the caller releases it with free()
  char* const stamp = static_cast<char*>(std::malloc(kTimeStringSize));
  if (stamp == nullptr) return nullptr;
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  // The buffer holds exactly 21 characters; a year past 9999 is cut short
  // rather than overflowing it.
  const int written =
      std::snprintf(stamp, kTimeStringSize, "[%04d-%02d-%02d %02d:%02d:%02d]", utc.tm_year + 1900,
                    utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  if (written < 0) stamp[0] = '\0';
  return stamp;
}
