#include "output/terminal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <thread>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace velmora::cli {

bool IsTerminal(std::FILE* stream) {
#if defined(_WIN32)
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

int TerminalColumns(std::FILE* stream) {
  int columns = 0;
#if defined(_WIN32)
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (GetConsoleScreenBufferInfo(h, &info)) columns = info.srWindow.Right - info.srWindow.Left + 1;
#else
  struct winsize size {};
  if (ioctl(fileno(stream), TIOCGWINSZ, &size) == 0) columns = size.ws_col;
#endif
  if (columns <= 0) {
    const char* env = std::getenv("COLUMNS");
    columns = env ? std::atoi(env) : 0;
  }
  return columns > 0 ? columns : 80;
}

void SetBinary(std::FILE* stream) {
#if defined(_WIN32)
  _setmode(_fileno(stream), _O_BINARY);
#else
  (void)stream;
#endif
}

double NowSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace {

std::atomic<int> InterruptCount{0};

extern "C" void OnInterrupt(int signal) {
  if (InterruptCount.fetch_add(1) >= 1) std::_Exit(130);
  // Some platforms reset the handler after each signal.
  std::signal(signal, OnInterrupt);
}

}  // namespace

void CatchInterrupt() {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
}

void ReportClosedPipes() {
#if !defined(_WIN32)
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool Interrupted() { return InterruptCount.load() > 0; }

ProgressLine::ProgressLine(bool enabled) : On(enabled && IsTerminal(stderr)) {}

ProgressLine::~ProgressLine() { Clear(); }

void ProgressLine::Show(const std::string& text, bool force) {
  if (!On) return;
  const double now = NowSeconds();
  if (!force && LastShown >= 0 && now - LastShown < 0.1) return;
  LastShown = now;
  // The last column stays free: writing into it makes some terminals wrap.
  const std::size_t columns = static_cast<std::size_t>(std::max(2, TerminalColumns(stderr))) - 1;
  std::string line = text.size() > columns ? text.substr(0, columns) : text;
  const std::size_t shown = line.size();
  // Padding instead of an erase sequence: works on every console.
  if (line.size() < Width) line.append(std::min(Width, columns) - line.size(), ' ');
  Width = shown;
  std::fprintf(stderr, "\r%s", line.c_str());
  std::fflush(stderr);
}

void ProgressLine::Clear() {
  if (!On || Width == 0) return;
  std::fprintf(stderr, "\r%s\r", std::string(Width, ' ').c_str());
  std::fflush(stderr);
  Width = 0;
}

void ProgressLine::Note(const std::string& text) {
  Clear();
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  LastShown = -1;
}

std::string FormatBytes(double bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) {
    bytes /= 1024;
    ++u;
  }
  char text[32];
  if (u == 0)
    std::snprintf(text, sizeof text, "%.0f B", bytes);
  else
    std::snprintf(text, sizeof text, "%.*f %s", bytes < 10 ? 2 : bytes < 100 ? 1 : 0, bytes,
                  units[u]);
  return text;
}

std::string FormatRate(double bytesPerSecond) {
  static const char* const units[] = {"B/s", "kB/s", "MB/s", "GB/s"};
  int u = 0;
  while (bytesPerSecond >= 1000 && u < 3) {
    bytesPerSecond /= 1000;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.*f %s", bytesPerSecond < 10 ? 2 : bytesPerSecond < 100 ? 1 : 0,
                bytesPerSecond, units[u]);
  return text;
}

std::string Grouped(std::uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::tm UtcParts(std::time_t t) {
  // The threads of a group ask at once: std::gmtime's buffer is shared.
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &t);
#else
  gmtime_r(&t, &parts);
#endif
  return parts;
}

std::string UtcNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  const std::tm parts = UtcParts(seconds);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03dZ", text, ms);
  return out;
}

}  // namespace velmora::cli
