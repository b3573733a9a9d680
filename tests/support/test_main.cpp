// The main of every gtest program here: GoogleTest's own, with a deadline
// for each test.
#include <gtest/gtest.h>

#include "support/test_deadline.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  velmora::testing::InstallTestDeadline();
  return RUN_ALL_TESTS();
}
