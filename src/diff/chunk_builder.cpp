#include "diff/chunk_builder.h"

#include "diff/diff_chunk.h"

namespace velmora::diff {

ByteString SerializeChunk(std::string_view tag, HeaderList headers, ByteString payload) {
  auto chunk = TDIFFChunk::Make();
  chunk->SetTag(tag);
  for (auto& h : headers) chunk->AddHeader(std::move(h.first), std::move(h.second));
  chunk->Payload = std::move(payload);
  return chunk->SaveToString();
}

}  // namespace velmora::diff
