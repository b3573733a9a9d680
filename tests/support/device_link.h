// A device handle opened against a scripted loopback peer, for tests that
// need exact control over what the "device" sends and when.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/device_api.h"
#include "diff/diff_chunk.h"
#include "support/loopback_peer.h"

namespace velmora::testing {

// Serialized chunk with headers in the given order and a payload.
inline std::string Chunk(const std::string& tag,
                         const std::vector<std::pair<std::string, std::string>>& headers = {},
                         const std::string& payload = {}) {
  auto c = diff::TDIFFChunk::Make();
  c->SetTag(tag);
  for (const auto& h : headers) c->AddHeader(h.first, h.second);
  c->Payload = payload;
  return c->SaveToString();
}

inline std::string Tag(const std::string& chunkBytes) {
  return diff::TDIFFChunk::MakeFromString(chunkBytes)->Tag;
}

struct DeviceLink {
  DeviceLink(const std::string& address, bool input, int portIndex = 0)
      : Peer(address, std::uint16_t(0xED00 + (input ? 0x10 : 0) + portIndex)) {
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
