// The words of the device protocol: the tags and header names its chunks
// carry, the device's ports and limits, and the largest frame a receiver
// takes. The library, the simulated device, the tool and the tests all speak
// through these names, so none of them can drift from the others.
//
// Tags and header names are case-sensitive and compared byte for byte. This
// header needs nothing beyond the standard library, so anything that talks to
// a device may include it without pulling in the codec or the device layer.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmora::wire {

// Tags of the requests the library sends. The configuration and control
// requests get no answer; the others get exactly one reply chunk.
namespace tag {
inline constexpr std::string_view SetFrequency = "WFREQ";     // header Hz
inline constexpr std::string_view SetPacketBits = "WBITS";    // header Bits
inline constexpr std::string_view SetBlockSize = "WBKSZ";     // header Bytes
inline constexpr std::string_view SetLine = "WDIO1";          // header named by the line number
inline constexpr std::string_view Go = "GOGO.";
inline constexpr std::string_view GoClear = "GOCLR";
inline constexpr std::string_view Clear = "CLEAR";
inline constexpr std::string_view GetAllPackets = "RREQA";    // answered with Data
inline constexpr std::string_view GetLatestPacket = "RREQL";  // answered with Data
inline constexpr std::string_view GetData = "RREQ?";          // header Len; answered with Data
inline constexpr std::string_view PutData = "WDATA";          // payload; answered with WriteAccepted
inline constexpr std::string_view Retry = "RETRY";            // asks again for the outstanding reply

// Tags of the device's replies. NoWork and IoError may answer any request
// that expects a reply.
inline constexpr std::string_view Data = "RDATA";           // payload, header Time
inline constexpr std::string_view WriteAccepted = "WRESP";  // header Bytes
inline constexpr std::string_view NoWork = "NOWRK";         // optional header Status
inline constexpr std::string_view IoError = "IOERR";
}  // namespace tag

// Header names.
namespace header {
inline constexpr std::string_view Hz = "Hz";          // SetFrequency: 4-byte integer
inline constexpr std::string_view Bits = "Bits";      // SetPacketBits: 4-byte integer
inline constexpr std::string_view Bytes = "Bytes";    // SetBlockSize, WriteAccepted: 4-byte integer
inline constexpr std::string_view Length = "Len";     // GetData: bytes wanted, 4-byte integer
inline constexpr std::string_view Time = "Time";      // Data: the device's time stamp, opaque bytes
inline constexpr std::string_view Status = "Status";  // NoWork: the device's reason, an integer
inline constexpr std::string_view Packet = "Packet";  // Data from the simulated device: first packet's index
}  // namespace header

// The "Status" numbers of a NoWork reply. The Python package keeps the same
// numbers (velmora/errors.py); a test compares the two.
namespace status {
inline constexpr std::int32_t NotStarted = 1;  // no acquisition running (never started, or CLEAR)
inline constexpr std::int32_t NothingNew = 2;  // no packet completed since the last fetch
inline constexpr std::int32_t StoreEmpty = 3;  // GetData on an empty data store
inline constexpr std::int32_t NoRequest = 4;   // Retry before any request on this connection
}  // namespace status

// The device listens on 32 ports: one output and one input port for each of
// its 16 channels. Only the low four bits of a channel number count.
inline constexpr std::uint16_t FirstDevicePort = 0xED00;
inline constexpr int DevicePortCount = 32;
inline constexpr int ChannelCount = 16;

// The port of a channel in one direction: 0xED00 + 0x10 for input + channel.
constexpr std::uint16_t DevicePort(bool input, std::int32_t channel) {
  return std::uint16_t(FirstDevicePort + (input ? 0x10 : 0) + (channel & 0x0F));
}

// The highest sample rate; the library sends a higher one as this.
inline constexpr std::int32_t MaxFrequencyHz = 40000000;
// The widest packet setting and the largest block the device accepts.
inline constexpr std::int32_t MaxPacketBits = 64;
inline constexpr std::int32_t MaxBlockBytes = std::int32_t(16) << 20;

// The largest body a received frame may claim (256 MiB): a generous bound on
// anything a device sends (the simulated device's replies are at most
// 16 MiB) that a 32-bit host can still hold. A longer claim is a frame that
// does not parse; the receiver skips its bytes instead of collecting them.
inline constexpr std::uint32_t LargestFrameBody = std::uint32_t(256) << 20;

}  // namespace velmora::wire
