// The page's files, built into the tool from tools/cli/panel/web so that an
// installed velmora serves them from anywhere. Generated at build time.
#pragma once

#include <cstddef>

namespace velmora::cli {

struct PanelFile {
  const char* Name;  // "index.html", "uplot/uPlot.iife.min.js"
  const char* Type;  // the Content-Type
  const unsigned char* Data;
  std::size_t Size;
};

extern const PanelFile PanelFiles[];
extern const std::size_t PanelFileCount;

}  // namespace velmora::cli
