#include "args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace velmora::cli {

ArgReader::ArgReader(int argc, char** argv) : Count(argc), Argv(argv) {}

bool ArgReader::Flag(char shortName, const char* longName) {
  if (Done() || OptionsEnded) return false;
  const char* a = Argv[Index];
  if (a[0] == '-' && a[1] == '-' && a[2] == '\0') {
    OptionsEnded = true;
    ++Index;
    return false;
  }
  const bool isShort = shortName != 0 && a[0] == '-' && a[1] == shortName && a[2] == '\0';
  const bool isLong = longName != nullptr && a[0] == '-' && a[1] == '-' &&
                      std::strcmp(a + 2, longName) == 0;
  if (!isShort && !isLong) return false;
  ++Index;
  return true;
}

bool ArgReader::Value(char shortName, const char* longName, std::string& value) {
  if (Done() || OptionsEnded) return false;
  const std::string a = Argv[Index];
  const std::string longForm = longName ? std::string("--") + longName : std::string();
  const std::string shortForm = shortName ? std::string("-") + shortName : std::string();
  std::string shown;
  if ((!shortForm.empty() && a == shortForm) || (!longForm.empty() && a == longForm)) {
    shown = a;
    if (Index + 1 >= Count) throw UsageError("option " + shown + " needs a value");
    value = Argv[Index + 1];
    Index += 2;
    return true;
  }
  if (!longForm.empty() && a.compare(0, longForm.size() + 1, longForm + "=") == 0) {
    value = a.substr(longForm.size() + 1);
    ++Index;
    return true;
  }
  if (!shortForm.empty() && a.size() > 2 && a.compare(0, 2, shortForm) == 0 && a[1] != '-') {
    value = a.substr(2);
    ++Index;
    return true;
  }
  return false;
}

bool ArgReader::Positional(std::string& value) {
  if (Done()) return false;
  const char* a = Argv[Index];
  if (!OptionsEnded && a[0] == '-' && a[1] != '\0') return false;
  value = a;
  ++Index;
  return true;
}

void ArgReader::Unknown() const {
  const char* a = Argv[Index];
  if (a[0] == '-' && a[1] != '\0') throw UsageError(std::string("unknown option ") + a);
  throw UsageError(std::string("unexpected argument ") + a);
}

std::int32_t ParseInt32(const std::string& text, const char* what, std::int64_t min,
                        std::int64_t max) {
  return static_cast<std::int32_t>(ParseBytes(text, what, min, max));
}

std::int64_t ParseBytes(const std::string& text, const char* what, std::int64_t min,
                        std::int64_t max) {
  errno = 0;
  char* end = nullptr;
  // Decimal, or hexadecimal with 0x; a leading zero does not mean octal.
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const long long v = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
  std::int64_t scale = 1;
  if (end != text.c_str() && *end != '\0' && end[1] == '\0') {
    switch (*end) {
      case 'k': case 'K': scale = 1 << 10; ++end; break;
      case 'M': scale = 1 << 20; ++end; break;
      case 'G': scale = std::int64_t(1) << 30; ++end; break;
      default: break;
    }
  }
  if (text.empty() || end == text.c_str() || *end != '\0' || errno == ERANGE)
    throw UsageError(std::string("bad number for ") + what + ": " + text);
  if (v < min / scale || v > max / scale || v * scale < min || v * scale > max)
    throw UsageError(std::string(what) + " must be between " + std::to_string(min) + " and " +
                     std::to_string(max) + ": " + text);
  return v * scale;
}

double ParseSeconds(const std::string& text, const char* what) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v) || v < 0)
    throw UsageError(std::string("bad number of seconds for ") + what + ": " + text);
  return v;
}

bool ParseOnOff(const std::string& text, const char* what) {
  if (text == "on" || text == "1" || text == "yes" || text == "true") return true;
  if (text == "off" || text == "0" || text == "no" || text == "false") return false;
  throw UsageError(std::string(what) + " takes on or off: " + text);
}

}  // namespace velmora::cli
