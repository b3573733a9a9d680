// Text that came from a file or a device, made safe to print: a recording
// can hold any bytes in its host or version text, and a terminal acts on
// the control sequences among them (moving the cursor, rewriting the title,
// answering back with input of its own).
#pragma once

#include <string>

namespace velmora::cli {

// `text` with every control character (C0, DEL, and C1 whether written as
// one byte or as UTF-8) and every byte that is not part of valid UTF-8
// replaced by a visible escape: \n, \t, \r, \x1b, \u009b. Printable UTF-8
// is kept as it is.
std::string Printable(const std::string& text);

}  // namespace velmora::cli
