// How the service joins its processes' views of the log medium: one change
// when the first starts losing entries, one with the count when all write.
#include "log_medium.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace rfid_tokend {
namespace {

TEST(LogMediumTest, OneChangeEachWayWithTheEntriesLostMeanwhileAcrossProcesses) {
  LogMedium medium;
  medium.report(-1, {0, 0});
  medium.report(0, {0, 2});  // lost before this episode: not counted in it
  EXPECT_FALSE(medium.change());
  medium.report(0, {ETIMEDOUT, 5});
  const auto losing = medium.change();
  ASSERT_TRUE(losing);
  EXPECT_TRUE(losing->losing);
  EXPECT_EQ(losing->reason, "blocked");
  medium.report(-1, {ENOSPC, 4});
  EXPECT_FALSE(medium.change());  // still losing: no second line
  medium.report(0, {0, 9});
  EXPECT_FALSE(medium.change());  // the main process still loses
  medium.ended(0);                // its worker ended: what it lost stays counted
  medium.report(-1, {0, 4});
  const auto writing = medium.change();
  ASSERT_TRUE(writing);
  EXPECT_FALSE(writing->losing);
  EXPECT_EQ(writing->lost, 11u);  // 9 - 2 by the worker, 4 by the main process
  EXPECT_EQ(
      logMediumEventLine(*writing, {}).rfind(R"({"event":"log","lost":11,"state":"writing")", 0),
      0u);
}

TEST(LogMediumTest, WorkerLinesRoundTripAndOthersAreNotTaken) {
  const auto report = decodeLogMediumLine(logMediumLine(EROFS, 12));
  ASSERT_TRUE(report);
  EXPECT_EQ(report->why, EROFS);
  EXPECT_EQ(report->lost, 12u);
  EXPECT_EQ(logMediumReason(EROFS), "read-only");
  EXPECT_EQ(logMediumReason(ENOENT), "removed");
  for (const char* line : {"alive", "log-medium", "log-medium x 1", "log-medium -1 2"}) {
    EXPECT_FALSE(decodeLogMediumLine(line)) << line;
  }
}

}  // namespace
}  // namespace rfid_tokend
