// Configuration and control commands: each queues one request and returns
// without waiting for the device. NDX_SetTimeout sends nothing.
#include <string>
#include <utility>

#include "device/device_api.h"
#include "device/exchange.h"
#include "diff/wire_vocabulary.h"

namespace velmora::device {

namespace {

// Commands have no direction and no output cells; `work` applies the
// argument rule and queues the request.
template <class Work>
std::int32_t RunCommand(NDX_HANDLE handle, Work&& work) noexcept {
  return RunOperation(handle, Direction::Any, OutputCells(nullptr), std::forward<Work>(work));
}

// Builds the request and queues it; a request that cannot be built gives 1359
// and queues nothing.
std::int32_t Queue(TVClientSock& h, std::string_view tag, std::string_view headerName = {},
                   std::string headerValue = {}, bool withHeader = false) {
  std::string request;
  try {
    request = BuildRequest(tag, headerName, std::move(headerValue), withHeader);
  } catch (...) {
    return ErrorInternalError;
  }
  h.Sock->QueueSend(std::move(request));
  return ErrorSuccess;
}

std::string OnOff(std::int32_t on) { return std::string(1, on != 0 ? '\x01' : '\x00'); }

std::int32_t QueueLine(NDX_HANDLE handle, std::uint32_t line, std::int32_t on, bool checkLine) {
  return RunCommand(handle, [&](TVClientSock& h) {
    if (checkLine && line >= 32) return ErrorInvalidIndex;
    return Queue(h, wire::tag::SetLine, std::string(1, static_cast<char>(line)), OnOff(on), true);
  });
}

std::int32_t QueuePositive(NDX_HANDLE handle, std::int32_t value, std::string_view tag,
                           std::string_view headerName) {
  return RunCommand(handle, [&](TVClientSock& h) {
    if (value <= 0) return ErrorBadLength;
    return Queue(h, tag, headerName, diff::IntToBytes(value), true);
  });
}

}  // namespace

std::int32_t SetFreq(NDX_HANDLE handle, std::int32_t hz) noexcept {
  return RunCommand(handle, [&](TVClientSock& h) {
    const std::int32_t clamped = hz < 0 ? 0 : (hz > wire::MaxFrequencyHz ? wire::MaxFrequencyHz : hz);
    return Queue(h, wire::tag::SetFrequency, wire::header::Hz, diff::IntToBytes(clamped), true);
  });
}

std::int32_t SetPacketBits(NDX_HANDLE handle, std::int32_t bits) noexcept {
  return QueuePositive(handle, bits, wire::tag::SetPacketBits, wire::header::Bits);
}

std::int32_t SetBlockSize(NDX_HANDLE handle, std::int32_t bytes) noexcept {
  return QueuePositive(handle, bytes, wire::tag::SetBlockSize, wire::header::Bytes);
}

std::int32_t SetAZero(NDX_HANDLE handle, std::int32_t on) noexcept {
  return QueueLine(handle, 0, on, false);
}

std::int32_t SetMDIO1(NDX_HANDLE handle, std::uint32_t line, std::int32_t on) noexcept {
  return QueueLine(handle, line, on, true);
}

std::int32_t Go(NDX_HANDLE handle) noexcept {
  return RunCommand(handle, [&](TVClientSock& h) { return Queue(h, wire::tag::Go); });
}

std::int32_t GoClear(NDX_HANDLE handle) noexcept {
  return RunCommand(handle, [&](TVClientSock& h) { return Queue(h, wire::tag::GoClear); });
}

std::int32_t Clear(NDX_HANDLE handle) noexcept {
  return RunCommand(handle, [&](TVClientSock& h) { return Queue(h, wire::tag::Clear); });
}

std::int32_t SetTimeout(NDX_HANDLE handle, std::int32_t ms) noexcept {
  return RunCommand(handle, [&](TVClientSock& h) {
    if (ms <= 0) return ErrorBadLength;
    h.TimeoutMs = ms;
    return ErrorSuccess;
  });
}

}  // namespace velmora::device
