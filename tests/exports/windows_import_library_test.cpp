// A Windows host that links VELMORA.dll at build time through an import
// library and declares the functions exactly as velmora.h does. On 32-bit x86
// the header makes the VBNDX_ wrappers stdcall, so this program refers to
// _VBNDX_Go@4 (and __imp__VBNDX_Go@4); the import library must lead that
// name to the DLL's undecorated export VBNDX_Go. The program is built twice,
// through VELMORA.dll.a (GNU ld) and through VELMORA.lib (lld, when the
// toolchain has it), and each of the 45 names is called through the address
// the link gave it, with the stack pointer measured around the call on
// 32-bit x86. Addresses 127.0.13.1 to 127.0.13.4 belong to this file: each
// build gets its own two (VELMORA_TEST_NOBODY, VELMORA_TEST_DEVICE), as both
// may run at once.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device/function_list.h"
#include "sim/simulated_device.h"
#include "support/call_probe.h"
#include "support/test_address.h"
#include "velmora.h"

namespace {

namespace sim = velmora::sim;
using velmora::testing::CallWithWords;
using velmora::testing::ProbedCall;
using velmora::testing::Words;

const char* const NobodyAddress = velmora::testing::TestAddress(13, VELMORA_TEST_NOBODY);
const char* const DeviceAddress = velmora::testing::TestAddress(13, VELMORA_TEST_DEVICE);

struct LinkedName {
  std::string Name;
  int ArgumentBytes;
  bool Stdcall;
  const void* Address;  // what the import library bound the name to
  ProbedCall (*Call)(const void* fn, const Words& words);
};

template <typename Function>
const void* AddressOf(Function* f) {
  return reinterpret_cast<const void*>(f);
}

// In ordinal order: entry k of the export list is ordinals 3k+1 to 3k+3.
#define VELMORA_LINKED(name, ret, bytes, params, args)                                          \
  {"NDX_" #name, bytes, false, AddressOf(&NDX_##name), &CallWithWords<decltype(&NDX_##name)>},  \
  {"_NDX_" #name, bytes, false, AddressOf(&_NDX_##name),                                        \
   &CallWithWords<decltype(&_NDX_##name)>},                                                     \
  {"VBNDX_" #name, bytes, true, AddressOf(&VBNDX_##name), &CallWithWords<decltype(&VBNDX_##name)>},
const std::vector<LinkedName>& Linked() {
  static const std::vector<LinkedName> names = {VELMORA_FUNCTIONS(VELMORA_LINKED)};
  return names;
}
#undef VELMORA_LINKED

TEST(WindowsImportLibrary, EveryLinkedNameIsTheExportOfItsOrdinal) {
  const HMODULE dll = ::GetModuleHandleA("VELMORA.dll");
  ASSERT_NE(dll, nullptr) << "VELMORA.dll is not among this program's imports";
  ASSERT_EQ(Linked().size(), 45u);
  for (std::size_t i = 0; i < Linked().size(); ++i) {
    const LinkedName& n = Linked()[i];
    const int ordinal = int(i) + 1;
    const void* byOrdinal =
        reinterpret_cast<const void*>(::GetProcAddress(dll, MAKEINTRESOURCEA(ordinal)));
    const void* byName = reinterpret_cast<const void*>(::GetProcAddress(dll, n.Name.c_str()));
    EXPECT_NE(byName, nullptr) << n.Name;
    EXPECT_EQ(n.Address, byOrdinal) << n.Name << " is not bound to ordinal " << ordinal;
    EXPECT_EQ(n.Address, byName) << n.Name;
  }
}

// Every name called once the way a host calls it: with a handle that is not
// live (or, for Connect, an address where nothing listens), so the result is
// known without a device. The stack must show that the caller removes the
// arguments after NDX_ and _NDX_, and that VBNDX_ removed them itself.
TEST(WindowsImportLibrary, EveryNameRemovesExactlyItsArgumentsWhenCalled) {
  char host[32];
  std::strcpy(host, NobodyAddress);
  std::int32_t scratch[16] = {4};
  for (const LinkedName& n : Linked()) {
    SCOPED_TRACE(n.Name);
    const bool connect = n.Name.find("Connect") != std::string::npos;
    Words words;
    if (connect) {
      words = {reinterpret_cast<std::uintptr_t>(host), 1, 0};
    } else {
      words.push_back(0);  // not a live handle
      while (int(words.size()) * 4 < n.ArgumentBytes) {
        words.push_back(reinterpret_cast<std::uintptr_t>(scratch));
      }
    }
    ASSERT_EQ(int(words.size()) * 4, n.ArgumentBytes);
    ::SetLastError(0);
    const ProbedCall call = n.Call(n.Address, words);
    if (connect) {
      EXPECT_EQ(call.Result, 0);
      EXPECT_EQ(::GetLastError(), DWORD(NDX_ERROR_NO_NET_OR_BAD_PATH));
    } else {
      EXPECT_EQ(call.Result, NDX_ERROR_BAD_UNIT);
    }
#if defined(__i386__)
    ASSERT_TRUE(call.Probed);
#endif
    if (call.Probed) {
      EXPECT_EQ(call.StackShift, n.Stdcall ? 0 : -n.ArgumentBytes)
          << "stack pointer after the call, relative to before the pushes";
    }
  }
}

// A whole session through the stdcall names only, compiled as a host
// compiles calls to them: settings, an acquisition read back exactly, and
// 16 MiB written and read back through the device's store. The simulated
// device runs in this process, as 32-bit code on the 32-bit build.
TEST(WindowsImportLibrary, AcquisitionAndSixteenMebibytesThroughTheWrappers) {
  constexpr int Channel = 3;
  sim::SimulatedDevice device(DeviceAddress);
  ASSERT_TRUE(device.Start());
  device.SetManualClock(true);

  NDX_HANDLE in = VBNDX_Connect(DeviceAddress, 1, Channel);
  ASSERT_NE(in, nullptr) << ::GetLastError();
  NDX_HANDLE out = VBNDX_Connect(DeviceAddress, 0, Channel);
  ASSERT_NE(out, nullptr) << ::GetLastError();
  // Emulated 32-bit code is slow; the time-out is not what is tested here.
  ASSERT_EQ(VBNDX_SetTimeout(in, 120000), 0);
  ASSERT_EQ(VBNDX_SetTimeout(out, 120000), 0);

  ASSERT_EQ(VBNDX_SetFreq(in, 2000), 0);
  ASSERT_EQ(VBNDX_SetPacketBits(in, 8), 0);
  ASSERT_EQ(VBNDX_SetBlockSize(in, 16), 0);
  ASSERT_EQ(VBNDX_SetAZero(in, 1), 0);
  ASSERT_EQ(VBNDX_SetMDIO1(in, 7, 1), 0);
  ASSERT_EQ(VBNDX_GoClear(in), 0);
  ASSERT_EQ(VBNDX_Go(in), 0);
  ASSERT_TRUE(device.WaitForReceived(sim::InputPort(Channel), 7, 30000));
  const sim::ChannelConfig config = device.Config(Channel);
  EXPECT_EQ(config.FrequencyHz, 2000);
  EXPECT_EQ(config.PacketBits, 8);
  EXPECT_EQ(config.BlockBytes, 16);
  EXPECT_EQ(config.Lines, 0x81u);

  std::int32_t timeCount = 8;
  std::uint64_t time = ~std::uint64_t(0);
  std::vector<char> data(4096);
  std::int32_t dataCount = std::int32_t(data.size());
  device.AdvanceClock(80000);  // 160 one-byte samples: packets 0 to 9
  ASSERT_EQ(VBNDX_GetAllPackets(in, &timeCount, &time, &dataCount, data.data()), 0);
  EXPECT_EQ(timeCount, 8);
  EXPECT_EQ(time, 0u);
  ASSERT_EQ(dataCount, 160);
  EXPECT_EQ(std::string(data.data(), 160), sim::AcquisitionBytes(1, 0, 160));
  device.AdvanceClock(40000);  // packets 10 to 14
  dataCount = std::int32_t(data.size());
  ASSERT_EQ(VBNDX_GetLatestPacketAndDiscard(in, &timeCount, &time, &dataCount, data.data()), 0);
  EXPECT_EQ(time, sim::PacketTimeUs(14, 16, 1, 2000));
  ASSERT_EQ(dataCount, 16);
  EXPECT_EQ(std::string(data.data(), 16), sim::AcquisitionBytes(1, 14 * 16, 16));
  ASSERT_EQ(VBNDX_Clear(in), 0);

  std::string sent(16u << 20, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = char((i * 131) ^ (i >> 13));
  std::int32_t count = std::int32_t(sent.size());
  ASSERT_EQ(VBNDX_PutData(out, &count, sent.data()), 0);
  EXPECT_EQ(count, std::int32_t(sent.size()));
  std::string got(sent.size() + 16, '\0');
  count = std::int32_t(got.size());
  ASSERT_EQ(VBNDX_GetData(in, &count, got.data()), 0);
  ASSERT_EQ(count, std::int32_t(sent.size()));
  got.resize(std::size_t(count));
  EXPECT_TRUE(got == sent) << "the 16 MiB came back changed";

  EXPECT_EQ(VBNDX_Close(in), 0);
  EXPECT_EQ(VBNDX_Close(out), 0);
  EXPECT_EQ(VBNDX_Close(out), NDX_ERROR_BAD_UNIT);
}

}  // namespace
