// A device handle opened against a scripted loopback peer, for tests that
// need exact control over what the "device" sends and when.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/device_api.h"
#include "diff/chunk_builder.h"
#include "diff/diff_chunk.h"
#include "diff/wire_vocabulary.h"
#include "support/loopback_peer.h"

namespace velmora::testing {

// Serialized chunk with headers in the given order and a payload.
inline std::string Chunk(std::string_view tag, diff::HeaderList headers = {}, std::string payload = {}) {
  return diff::SerializeChunk(tag, std::move(headers), std::move(payload));
}

inline std::string Tag(const std::string& chunkBytes) {
  return diff::TDIFFChunk::MakeFromString(chunkBytes)->Tag;
}

struct DeviceLink {
  DeviceLink(const std::string& address, bool input, int portIndex = 0)
      : Peer(address, wire::DevicePort(input, portIndex)) {
    Peer.AcceptAsync();
    Handle = device::Connect(address.c_str(), input ? 1 : 0, portIndex);
    Accepted = Peer.WaitAccepted();
  }
  ~DeviceLink() {
    if (Handle != nullptr) device::Close(Handle);
  }
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  LoopbackPeer Peer;
  NDX_HANDLE Handle = nullptr;
  bool Accepted = false;
};

}  // namespace velmora::testing
