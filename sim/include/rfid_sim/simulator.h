// A simulated reader on a pseudo-terminal: the host opens portPath() as it
// would a serial port; a thread of the simulator answers on the other side.
#ifndef RFID_SIM_SIMULATOR_H
#define RFID_SIM_SIMULATOR_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "rfid_serial/unique_fd.h"
#include "rfid_sim/card.h"
#include "rfid_sim/reader.h"

namespace rfid_sim {

class Simulator {
 public:
  // Opens the pseudo-terminal (raw, 8N1) and starts answering at once with
  // `card` in the field (none when empty). Throws std::runtime_error when no
  // pseudo-terminal can be had.
  Simulator(Model model, std::optional<Card> card);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  Model model() const { return model_; }
  // The serial side, e.g. /dev/pts/3. The simulator keeps it open too, so a
  // host may close and reopen it without the reader seeing a hang-up.
  const std::string& portPath() const { return portPath_; }

  // After every request that changed the card's memory, the whole card is
  // written to the file, in its format. An empty path: no saving.
  void saveCardTo(CardFile file);
  // Called on the simulator's thread with the bytes of every read from the
  // host (`fromHost` true) and of every reply, e.g. to print a trace.
  using Trace = std::function<void(bool fromHost, const std::uint8_t* bytes, std::size_t count)>;
  void setTrace(Trace trace);

  // How fast the reader answers and how fast its line is (the default:
  // at once, whole replies). With a baud rate the reply's bytes become
  // readable one byte time apart, as from a real UART.
  void setTiming(Timing timing);

  // The last save error, empty when saving works.
  std::string saveError() const;

  // The field: a card arrives (starting idle) or leaves. insertCard() with
  // no argument brings the last card back.
  void insertCard(Card card);
  void insertCard();
  void removeCard();
  // The card leaves the field once it has taken `writes` writes (counted
  // from now; 0: never), as a card pulled away in the middle of a job.
  void removeCardAfterWrites(unsigned long writes);
  // A copy of the card in the field, as it is now.
  std::optional<Card> card() const;

  // For tests and tools that replace the host's fixed half-second wait:
  // returns once the reader has answered a request that no earlier call
  // waited for and the answer is readable on the serial side. False when
  // no answer came within `timeout` (a request the reader ignores, or a
  // reader still busy).
  bool waitForReply(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

  // Bytes received from the host so far.
  unsigned long bytesReceived() const;

 private:
  void run();
  void saveIfChanged();
  // Called with the lock held: a reply leaves, whole or byte by byte.
  void queueReply(Bytes reply, Clock::time_point now);
  void sendDueBytes(Clock::time_point now);
  std::optional<Clock::time_point> nextWakeUp() const;

  Model model_;
  rfid_serial::UniqueFd master_;
  rfid_serial::UniqueFd serial_;  // kept open: see portPath()
  rfid_serial::UniqueFd wakeRead_;
  rfid_serial::UniqueFd wakeWrite_;
  std::string portPath_;

  mutable std::mutex mutex_;
  std::condition_variable replied_;
  std::unique_ptr<Reader> reader_;
  std::optional<Card> lastCard_;
  CardFile cardFile_;
  std::string saveError_;
  Trace trace_;
  unsigned long savedWrites_ = 0;
  unsigned long leaveAtWrite_ = 0;  // the card's writeCount() at which it leaves; 0: never
  unsigned long bytesReceived_ = 0;
  unsigned long repliesSent_ = 0;
  unsigned long repliesWaited_ = 0;
  std::size_t lastReplySize_ = 0;
  // Replies on their way out at the line's pace: the front one has
  // `sentOfFront_` bytes sent, the next byte is due at `nextByteAt_`.
  Clock::duration byteTime_{0};
  std::deque<Bytes> outgoing_;
  std::size_t sentOfFront_ = 0;
  Clock::time_point nextByteAt_{};
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace rfid_sim

#endif  // RFID_SIM_SIMULATOR_H
