// The per-test deadline. The hanging test is disabled: ctest runs it alone in
// a program of its own with a one-second deadline and expects its name on
// standard error (tests/CMakeLists.txt, test_deadline_names_a_hang).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/test_deadline.h"

TEST(TestDeadline, AQuickTestIsNotDisturbed) {
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  SUCCEED();
}

TEST(TestDeadline, ATestMayAskForLonger) {
  velmora::testing::ExtendTestDeadline(std::chrono::seconds(600));
  SUCCEED();
}

TEST(TestDeadline, DISABLED_HangsOnPurpose) {
  // Bounded all the same: two minutes, far beyond the deadline it is run with.
  for (int i = 0; i < 1200; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}
