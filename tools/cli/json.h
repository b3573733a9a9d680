// JSON output through nlohmann/json: keys keep the order they were added
// in, and each result is one line.
#pragma once

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "json_fwd.h"

namespace velmora::cli {

// One line; bytes that are not UTF-8 are replaced rather than thrown at.
inline std::string JsonText(const Json& j) {
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
inline void PrintJson(std::FILE* out, const Json& j) { std::fprintf(out, "%s\n", JsonText(j).c_str()); }

}  // namespace velmora::cli
