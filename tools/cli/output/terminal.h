// What the tool needs from the console and the clock: whether a stream is a
// terminal, binary standard streams, a live progress line, Ctrl-C.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace velmora::cli {

bool IsTerminal(std::FILE* stream);
// The width of the terminal `stream` writes to; 80 when it cannot be told.
int TerminalColumns(std::FILE* stream);
// Standard input and output carry raw bytes on Windows only in binary mode.
void SetBinary(std::FILE* stream);

double NowSeconds();  // monotonic
// The current time in UTC, ISO 8601 with milliseconds: 2026-12-09T04:50:12.345Z
std::string UtcNow();
// `t` broken down in UTC; safe to call from several threads at once.
std::tm UtcParts(std::time_t t);
void SleepMs(int ms);

// Ctrl-C (and SIGTERM) during long work: the first one asks the work to end
// early and still write its results; a second one ends the program.
void CatchInterrupt();
bool Interrupted();
// A write to a pipe whose reader has gone fails with EPIPE instead of
// ending the program on the spot, so that a run can close its other files,
// stop the device and say what it saved.
void ReportClosedPipes();

// One line on standard error, rewritten in place at most ten times a
// second; shown only when standard error is a terminal, and cut to one
// column less than its width (read each time, so a resize is followed), so
// that it never wraps.
class ProgressLine {
 public:
  explicit ProgressLine(bool enabled);
  ~ProgressLine();  // clears the line
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  bool Enabled() const { return On; }
  void Show(const std::string& text, bool force = false);
  void Clear();
  // A line of its own on standard error (shown whether or not it is a
  // terminal); the progress line comes back with the next Show.
  void Note(const std::string& text);

 private:
  bool On;
  double LastShown = -1;
  std::size_t Width = 0;
};

// "1.5 MiB", "312 B"; "2.4 MB/s" for rates.
std::string FormatBytes(double bytes);
std::string FormatRate(double bytesPerSecond);
// "12,345,678"
std::string Grouped(std::uint64_t value);

}  // namespace velmora::cli
