// One call from a tag, header entries and a payload to the bytes of a chunk:
// the one way requests, scripted replies, fuzz inputs and benchmark frames
// are built, so they all share the serializer's wire layout.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "diff/diff_tags.h"

namespace velmora::diff {

// Header entries, written in this order.
using HeaderList = std::vector<std::pair<ByteString, ByteString>>;

// The serialized bytes of a chunk with `tag`, `headers` in order, no
// children and `payload`. Raises EDIFFParseError unless the tag is 5 bytes
// long; running out of memory raises the runtime's error.
ByteString SerializeChunk(std::string_view tag, HeaderList headers = {}, ByteString payload = {});

}  // namespace velmora::diff
