#include "recordings/isolated_read.h"

#include <cerrno>
#include <cstdio>

#include "device/device.h"
#include "output/terminal.h"

#if !defined(_WIN32)
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace velmora::cli {

#if defined(_WIN32)

std::string RunIsolated(const std::function<std::string()>& work, double, std::size_t) { return work(); }

#else

namespace {

// The child's answer starts with 'R' (a result) or 'F' (a Failure's text).
[[noreturn]] void Answer(int fd, char kind, const std::string& text) {
  const std::string all = kind + text;
  for (std::size_t at = 0; at < all.size();) {
    const ssize_t n = write(fd, all.data() + at, all.size() - at);
    if (n <= 0) break;
    at += static_cast<std::size_t>(n);
  }
  _exit(0);  // no handlers of the parent's: they are the parent's to run
}

}  // namespace

std::string RunIsolated(const std::function<std::string()>& work, double seconds, std::size_t maxBytes) {
  int fds[2];
  if (pipe(fds) != 0) throw Failure("cannot make a pipe");
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    throw Failure("cannot start a process");
  }
  if (pid == 0) {
    close(fds[0]);
    try {
      Answer(fds[1], 'R', work());
    } catch (const Failure& f) {
      Answer(fds[1], 'F', f.what());
    } catch (const std::exception& e) {
      Answer(fds[1], 'F', e.what());
    }
  }
  close(fds[1]);
  std::string answer;
  const double deadline = NowSeconds() + seconds;
  bool late = false;
  for (;;) {
    const double left = deadline - NowSeconds();
    if (left <= 0) {
      late = true;
      break;
    }
    pollfd p = {fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left * 1000) + 1);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char block[65536];
    const ssize_t n = read(fds[0], block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(block, static_cast<std::size_t>(n));
    if (answer.size() > maxBytes + 1) break;
  }
  close(fds[0]);
  if (late || answer.size() > maxBytes + 1) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (late) throw IsolatedFault{"did not finish within " + std::to_string(static_cast<int>(seconds)) + " s"};
  if (WIFSIGNALED(status)) throw IsolatedFault{"ended by signal " + std::to_string(WTERMSIG(status))};
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw IsolatedFault{"ended with status " + std::to_string(WEXITSTATUS(status))};
  if (answer.size() > maxBytes + 1) throw IsolatedFault{"answered with more than " + Grouped(maxBytes) + " bytes"};
  if (answer.empty()) throw IsolatedFault{"ended without an answer"};
  if (answer[0] == 'F') throw Failure(answer.substr(1));
  return answer.substr(1);
}

#endif

}  // namespace velmora::cli
