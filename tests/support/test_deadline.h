// A deadline for every test of a gtest program, so that a hang names the
// test and ends the program instead of spending the whole program's ctest
// time-out. Installed by the shared main (test_main.cpp).
//
// A test still running when its deadline passes has its full name written to
// standard error and the program aborts. The deadline is 60 s from the start
// of each test, four times that under an emulator and three times under a
// sanitizer; VELMORA_TEST_DEADLINE_SECONDS replaces the 60 s (a slow
// machine, a debugger). A test that legitimately needs longer says so with
// ExtendTestDeadline.
#pragma once

#include <chrono>

namespace velmora::testing {

// Adds the deadline listener to GoogleTest's listeners; call once, after
// InitGoogleTest.
void InstallTestDeadline();

// The running test's deadline becomes `from now` (scaled as above); no effect
// outside a test.
void ExtendTestDeadline(std::chrono::seconds fromNow);

}  // namespace velmora::testing
