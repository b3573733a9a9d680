// The one list of the library's functions. The device layer declares its
// operations from it (device_api.h), and everything that names the exports is
// generated from it: the three entry points of each function (exports.cpp),
// the Linux version script and the Windows .def file with its ordinals
// (cmake/Exports.cmake reads this file), so names, order and argument sizes
// cannot drift apart. It lives with the device layer, below the export layer
// that uses it, so neither layer includes the other in turn.
//
// X(name, result type, bytes of arguments, parameter list, argument list)
// One entry per line, in export ordinal order: entry k (from 0) gets the
// ordinals 3k+1 (NDX_), 3k+2 (_NDX_) and 3k+3 (VBNDX_, which removes the
// given bytes of arguments on 32-bit x86).
#pragma once

#define VELMORA_FUNCTIONS(X) \
  X(Connect, NDX_HANDLE, 12, (const char* host, int32_t isInput, int32_t portIndex), (host, isInput, portIndex)) \
  X(SetFreq, int32_t, 8, (NDX_HANDLE handle, int32_t hz), (handle, hz)) \
  X(SetBlockSize, int32_t, 8, (NDX_HANDLE handle, int32_t bytes), (handle, bytes)) \
  X(Go, int32_t, 4, (NDX_HANDLE handle), (handle)) \
  X(SetTimeout, int32_t, 8, (NDX_HANDLE handle, int32_t ms), (handle, ms)) \
  X(GetData, int32_t, 12, (NDX_HANDLE handle, int32_t* count, void* buffer), (handle, count, buffer)) \
  X(PutData, int32_t, 12, (NDX_HANDLE handle, int32_t* count, const void* buffer), (handle, count, buffer)) \
  X(Close, int32_t, 4, (NDX_HANDLE handle), (handle)) \
  X(GoClear, int32_t, 4, (NDX_HANDLE handle), (handle)) \
  X(Clear, int32_t, 4, (NDX_HANDLE handle), (handle)) \
  X(SetMDIO1, int32_t, 12, (NDX_HANDLE handle, uint32_t line, int32_t on), (handle, line, on)) \
  X(SetAZero, int32_t, 8, (NDX_HANDLE handle, int32_t on), (handle, on)) \
  X(SetPacketBits, int32_t, 8, (NDX_HANDLE handle, int32_t bits), (handle, bits)) \
  X(GetAllPackets, int32_t, 20, (NDX_HANDLE handle, int32_t* timeCount, void* timeBuffer, int32_t* dataCount, void* dataBuffer), (handle, timeCount, timeBuffer, dataCount, dataBuffer)) \
  X(GetLatestPacketAndDiscard, int32_t, 20, (NDX_HANDLE handle, int32_t* timeCount, void* timeBuffer, int32_t* dataCount, void* dataBuffer), (handle, timeCount, timeBuffer, dataCount, dataBuffer))
