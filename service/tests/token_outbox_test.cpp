// The outbox of tokens on a hand-moved clock: what waits, what goes, what
// comes back after a connection is lost.
#include "token_outbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rfid_tokend {
namespace {

using std::chrono::seconds;
const SteadyClock::time_point kStart{};

TokenOutbox::Token tokenAt(const std::string& payload, seconds readAfter) {
  return {payload, "reader", kStart + readAfter};
}

// The payloads in the order the outbox would send them now.
std::vector<std::string> sendOrder(TokenOutbox& outbox, int firstId) {
  std::vector<std::string> order;
  for (int id = firstId; outbox.next() != nullptr; ++id) {
    order.push_back(outbox.next()->payload);
    outbox.sent(id, kStart);
  }
  return order;
}

TEST(TokenOutbox, AFullQueueGivesUpItsOldestToken) {
  TokenOutbox outbox(seconds(60), seconds(5), 2);
  EXPECT_FALSE(outbox.add(tokenAt("a", seconds(0))));
  EXPECT_FALSE(outbox.add(tokenAt("b", seconds(1))));
  const auto dropped = outbox.add(tokenAt("c", seconds(2)));
  ASSERT_TRUE(dropped);
  EXPECT_EQ(dropped->payload, "a");
  EXPECT_EQ(sendOrder(outbox, 1), (std::vector<std::string>{"b", "c"}));
}

TEST(TokenOutbox, OnlyTokensOlderThanTheMaxAgeAreDropped) {
  TokenOutbox outbox(seconds(10), seconds(5), 8);
  outbox.add(tokenAt("old", seconds(0)));
  outbox.add(tokenAt("fresh", seconds(5)));
  EXPECT_TRUE(outbox.dropStale(kStart + seconds(10)).empty());  // exactly the age: kept
  const auto stale = outbox.dropStale(kStart + seconds(12));
  ASSERT_EQ(stale.size(), 1u);
  EXPECT_EQ(stale[0].payload, "old");
  EXPECT_EQ(outbox.waiting(), 1u);
}

TEST(TokenOutbox, ASentTokenWaitsForItsAcknowledgementUntilTheTimeout) {
  TokenOutbox outbox(seconds(60), seconds(5), 8);
  outbox.add(tokenAt("a", seconds(0)));
  outbox.sent(7, kStart + seconds(1));
  EXPECT_EQ(outbox.waiting(), 0u);
  EXPECT_FALSE(outbox.acknowledgementOverdue(kStart + seconds(5)));
  EXPECT_TRUE(outbox.acknowledgementOverdue(kStart + seconds(6)));
  outbox.acknowledged(8);  // a message that is not a token
  EXPECT_EQ(outbox.unacknowledged(), 1u);
  outbox.acknowledged(7);
  EXPECT_EQ(outbox.unacknowledged(), 0u);
  EXPECT_FALSE(outbox.acknowledgementOverdue(kStart + seconds(60)));
}

TEST(TokenOutbox, AfterALostConnectionUnacknowledgedTokensGoFirstInTheOrderRead) {
  TokenOutbox outbox(seconds(60), seconds(5), 8);
  outbox.add(tokenAt("second", seconds(2)));
  outbox.add(tokenAt("first", seconds(1)));  // read earlier, queued later
  outbox.sent(2, kStart);                    // ids in the other order than the reads
  outbox.sent(3, kStart);
  outbox.add(tokenAt("third", seconds(3)));
  outbox.requeueUnacknowledged();
  EXPECT_EQ(outbox.unacknowledged(), 0u);
  EXPECT_EQ(sendOrder(outbox, 10), (std::vector<std::string>{"first", "second", "third"}));
}

TEST(TokenOutbox, ItIsDueWhenATokenAgesOrAnAcknowledgementFallsDue) {
  TokenOutbox outbox(seconds(10), seconds(3), 8);
  const auto bound = kStart + seconds(100);
  EXPECT_EQ(outbox.dueBy(bound), bound);
  outbox.add(tokenAt("waiting", seconds(4)));
  EXPECT_EQ(outbox.dueBy(bound), kStart + seconds(14));
  outbox.add(tokenAt("sent", seconds(5)));
  outbox.sent(1, kStart + seconds(6));  // "waiting" went out, at 6 s
  EXPECT_EQ(outbox.dueBy(bound), kStart + seconds(9));
  EXPECT_EQ(outbox.dueBy(kStart + seconds(2)), kStart + seconds(2));
}

}  // namespace
}  // namespace rfid_tokend
