// Standard output and error as the main process writes them: a line goes
// out whole if the descriptor takes it now, and is dropped and counted if
// not. A reader of the pipe that stalls, or a journald that does, costs
// lines, never the service's time.
#ifndef RFID_TOKEND_LINE_SINK_H
#define RFID_TOKEND_LINE_SINK_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "rfid_serial/unique_fd.h"

namespace rfid_tokend {

class LineSink {
 public:
  // Writes to `fd` without ever blocking and without changing how the
  // descriptor behaves for the processes that share it: a socket is written
  // with MSG_DONTWAIT, a pipe or terminal through a non-blocking descriptor
  // of its own. `name` names the stream in the notices.
  LineSink(int fd, std::string name);

  // Writes one line (with its newline) if the descriptor takes it now, and
  // drops it if not. Only the rest of a line the descriptor took in part
  // waits, so that no line is ever cut.
  void put(std::string_view line);
  // Writes the rest of a line taken in part, as far as the descriptor takes it.
  void flush();
  bool waiting() const { return !queue_.empty(); }
  int fd() const { return fd_.get(); }

  // A Warn line to log when dropping started or ended since the last call.
  std::optional<std::string> takeNotice();

 private:
  void drop();
  // Bytes the descriptor took now.
  std::size_t writeAll(const char* data, std::size_t size);

  rfid_serial::UniqueFd fd_;
  bool socket_ = false;
  std::string name_;
  std::string queue_;        // the rest of a line written in part
  bool dropping_ = false;    // lines were dropped and none has gone out whole since
  bool announced_ = false;   // takeNotice() has reported that dropping started
  std::size_t dropped_ = 0;  // lines dropped since dropping started
};

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_LINE_SINK_H
