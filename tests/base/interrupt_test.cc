// Interruption: the first SIGINT, SIGTERM or SIGHUP asks the run to stop at
// its next frame; a second one, of any of the three, ends the process at once.
#include "base/interrupt.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

TEST(Interrupt, AFirstSignalAsksToStopAndLeavesEveryOneToItsDefault) {
  for (int first : {SIGINT, SIGTERM, SIGHUP}) {
    cInterrupt_reset();
    cInterrupt_install();
    EXPECT_FALSE(cInterrupt_requested());
    ASSERT_EQ(std::raise(first), 0);
    EXPECT_TRUE(cInterrupt_requested()) << first;
    for (int second : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction now {};
      sigaction(second, nullptr, &now);
      EXPECT_EQ(now.sa_handler, SIG_DFL) << first << " then " << second;
    }
  }
  cInterrupt_reset();
}

}  // namespace
