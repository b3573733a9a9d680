// Work on untrusted input done by a library that trusts it: run in a child
// process with a deadline, so that whatever the library does there (loops
// for ever, crashes, takes memory) the tool goes on and can say so.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace velmora::cli {

// What `work` returned in the child, at most `maxBytes` of it. Throws
// Failure with the text of a Failure that `work` threw, and IsolatedFault
// when the child did not finish within `seconds`, died, or returned more.
// Without processes to spare (Windows) `work` runs in this process.
std::string RunIsolated(const std::function<std::string()>& work, double seconds, std::size_t maxBytes);

struct IsolatedFault {
  std::string What;  // "did not finish within 20 s", "ended by signal 11"
};

}  // namespace velmora::cli
