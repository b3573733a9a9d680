// The versions a recording names: the tool's and that of the library it was
// built with (one project, one version; the build passes it in).
#pragma once

namespace velmora::cli {

constexpr const char ToolVersion[] = VELMORA_PROJECT_VERSION;
constexpr const char LibraryVersion[] = VELMORA_PROJECT_VERSION;

}  // namespace velmora::cli
