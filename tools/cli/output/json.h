// nlohmann/json for the files that read JSON (side files, the panel's
// requests) or answer with it (the panel): its ordered type, and the
// commands' JsonValue turned into it.
#pragma once

#include <nlohmann/json.hpp>

#include "output/json_fwd.h"
#include "output/json_value.h"

namespace velmora::cli {

Json ToNlohmann(const JsonValue& value);

}  // namespace velmora::cli
