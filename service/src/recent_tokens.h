// The tokens read lately and the reader each came from, so that the auth
// consumer's verdict sounds the reader that read the token. A verdict on a
// token read more than kLife ago sounds nothing: the card holder has long
// gone, and a late beep would only confuse the next one. A read sounds each
// verdict once: the same verdict again on the same read (a consumer that
// repeats itself, a flood) sounds nothing, a different one sounds.
#ifndef RFID_TOKEND_RECENT_TOKENS_H
#define RFID_TOKEND_RECENT_TOKENS_H

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>

#include "debouncer.h"

namespace rfid_tokend {

class RecentTokens {
 public:
  static constexpr std::chrono::seconds kLife{60};

  void remember(const std::string& value, std::size_t reader, SteadyClock::time_point now);
  // The reader that read `value` within kLife before `now`.
  std::optional<std::size_t> readerOf(const std::string& value, SteadyClock::time_point now);
  // The reader to sound for the verdict `accepted` on `value`: as
  // readerOf, and nothing when this read of it sounded that verdict last.
  std::optional<std::size_t> readerToSound(const std::string& value, bool accepted,
                                           SteadyClock::time_point now);

 private:
  void expire(SteadyClock::time_point now);

  struct Read {
    std::size_t reader;
    SteadyClock::time_point at;
    std::optional<bool> sounded;  // the last verdict sounded: accepted or not
  };
  std::map<std::string, Read> reads_;  // token value -> its latest read
};

}  // namespace rfid_tokend

#endif  // RFID_TOKEND_RECENT_TOKENS_H
