#include "support/test_deadline.h"

#include "support/sanitizers.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace velmora::testing {
namespace {

using Clock = std::chrono::steady_clock;

#if defined(VELMORA_UNDER_EMULATION)
constexpr int Slowdown = 4;
#else
constexpr int Slowdown = UnderSanitizer ? 3 : 1;
#endif

std::chrono::seconds BaseLimit() {
  long seconds = 60;
  if (const char* text = std::getenv("VELMORA_TEST_DEADLINE_SECONDS")) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && value > 0) seconds = value;
  }
  return std::chrono::seconds(seconds);
}

// One watcher thread for the whole program, started before the first test,
// so that no test sees a thread come or go. It touches no memory a test
// could break: the name is copied into a fixed buffer at the test's start.
class Deadline final : public ::testing::EmptyTestEventListener {
 public:
  Deadline() : Watcher([this] { Watch(); }) {}
  ~Deadline() override { Stop(); }

  void OnTestStart(const ::testing::TestInfo& test) override {
    std::lock_guard<std::mutex> g(M);
    std::snprintf(Name, sizeof Name, "%s.%s", test.test_suite_name(), test.name());
    ArmLocked(BaseLimit());
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    std::lock_guard<std::mutex> g(M);
    Armed = false;
    Wake.notify_all();
  }
  void OnTestProgramEnd(const ::testing::UnitTest&) override { Stop(); }

  void Extend(std::chrono::seconds fromNow) {
    std::lock_guard<std::mutex> g(M);
    if (Armed) ArmLocked(fromNow);
  }

 private:
  void ArmLocked(std::chrono::seconds limit) {
    Limit = limit * Slowdown;
    Until = Clock::now() + Limit;
    Armed = true;
    Wake.notify_all();
  }

  void Watch() {
    std::unique_lock<std::mutex> l(M);
    while (!Done) {
      if (!Armed) {
        Wake.wait(l);
      } else if (Clock::now() < Until) {
        Wake.wait_until(l, Until);
      } else {
        std::fprintf(stderr, "\n[ DEADLINE ] %s still running after %lld s: aborting\n", Name,
                     static_cast<long long>(Limit.count()));
        std::fflush(stderr);
        std::abort();
      }
    }
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> g(M);
      Done = true;
      Wake.notify_all();
    }
    if (Watcher.joinable()) Watcher.join();
  }

  std::mutex M;
  std::condition_variable Wake;
  bool Done = false;
  bool Armed = false;
  Clock::time_point Until;
  std::chrono::seconds Limit{0};
  char Name[512] = "";
  std::thread Watcher;  // last: starts once the fields above exist
};

Deadline* Installed = nullptr;

}  // namespace

void InstallTestDeadline() {
  if (Installed != nullptr) return;
  Installed = new Deadline;  // GoogleTest owns it from here
  ::testing::UnitTest::GetInstance()->listeners().Append(Installed);
}

void ExtendTestDeadline(std::chrono::seconds fromNow) {
  if (Installed != nullptr) Installed->Extend(fromNow);
}

}  // namespace velmora::testing
