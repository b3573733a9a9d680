// The tool's JSON value type, declared only: headers name it, and the files
// that build or print JSON include json.h. nlohmann/json is large enough
// that every file reaching it takes seconds to compile.
#pragma once

#include <nlohmann/json_fwd.hpp>

namespace velmora::cli {

using Json = nlohmann::ordered_json;

}  // namespace velmora::cli
