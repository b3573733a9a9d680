// A usage mistake found after parsing (options that do not go together):
// the tool reports it with exit status 2. Apart from options.h so that files
// that only check their inputs need not see the option parser.
#pragma once

#include <stdexcept>

namespace velmora::cli {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace velmora::cli
