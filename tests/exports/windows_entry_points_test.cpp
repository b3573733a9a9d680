// VELMORA.dll as a Windows host links it: through its import library, with
// the results read back the host's way (GetLastError for NDX_Connect).
// Each VBNDX_ wrapper must give what its NDX_ function gives for the same
// arguments. Addresses 127.0.0.180 to 127.0.0.184 belong to this file.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "sim/simulated_device.h"
#include "support/test_address.h"
#include "velmora.h"

using velmora::testing::TestAddress;

namespace {

using velmora::sim::SimulatedDevice;

constexpr int InputChannel = 2;

TEST(WindowsEntryPoints, NamesResolveToOneFunctionAndASeparateWrapper) {
  const HMODULE dll = ::GetModuleHandleA("VELMORA.dll");
  ASSERT_NE(dll, nullptr);
  const FARPROC plain = ::GetProcAddress(dll, "NDX_Connect");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(::GetProcAddress(dll, "_NDX_Connect"), plain);
  const FARPROC wrapper = ::GetProcAddress(dll, "VBNDX_Connect");
  ASSERT_NE(wrapper, nullptr);
  EXPECT_NE(wrapper, plain);
  // The linked names are the DLL's own entries, not copies in this program.
  EXPECT_EQ(reinterpret_cast<void*>(&NDX_Connect), reinterpret_cast<void*>(plain));
  EXPECT_EQ(reinterpret_cast<void*>(&VBNDX_Connect), reinterpret_cast<void*>(wrapper));
}

// The last-error value is the thread's own, read with GetLastError.
TEST(WindowsEntryPoints, FailedConnectLeavesTheSameLastErrorThroughEveryName) {
  ::SetLastError(0);
  EXPECT_EQ(NDX_Connect(TestAddress(0, 180), 1, 0), nullptr);  // nothing listens there
  EXPECT_EQ(::GetLastError(), DWORD(NDX_ERROR_NO_NET_OR_BAD_PATH));
  ::SetLastError(0);
  EXPECT_EQ(_NDX_Connect(TestAddress(0, 180), 1, 0), nullptr);
  EXPECT_EQ(::GetLastError(), DWORD(NDX_ERROR_NO_NET_OR_BAD_PATH));
  ::SetLastError(0);
  EXPECT_EQ(VBNDX_Connect(TestAddress(0, 180), 1, 0), nullptr);
  EXPECT_EQ(::GetLastError(), DWORD(NDX_ERROR_NO_NET_OR_BAD_PATH));
}

TEST(WindowsEntryPoints, EveryWrapperGivesWhatItsFunctionGivesForANonHandle) {
  NDX_HANDLE none = nullptr;
  std::int32_t n = 4;
  char buffer[4] = {};
  EXPECT_EQ(NDX_Close(none), NDX_ERROR_BAD_UNIT);
  EXPECT_EQ(VBNDX_Close(none), NDX_ERROR_BAD_UNIT);
#define SAME(call) EXPECT_EQ(VB##call, call) << #call
  SAME(NDX_SetFreq(none, 1000));
  SAME(NDX_SetBlockSize(none, 64));
  SAME(NDX_Go(none));
  SAME(NDX_SetTimeout(none, 100));
  SAME(NDX_GetData(none, &n, buffer));
  SAME(NDX_PutData(none, &n, buffer));
  SAME(NDX_GoClear(none));
  SAME(NDX_Clear(none));
  SAME(NDX_SetMDIO1(none, 3, 1));
  SAME(NDX_SetAZero(none, 1));
  SAME(NDX_SetPacketBits(none, 16));
  SAME(NDX_GetAllPackets(none, &n, buffer, &n, buffer));
  SAME(NDX_GetLatestPacketAndDiscard(none, &n, buffer, &n, buffer));
#undef SAME
}

// Over live connections, arguments whose position decides the result: the
// wrappers must pass every one on unchanged and in order.
TEST(WindowsEntryPoints, WrappersPassTheirArgumentsOnUnchanged) {
  SimulatedDevice device(TestAddress(0, 181));
  ASSERT_TRUE(device.Start());
  ::SetLastError(1);
  NDX_HANDLE out = VBNDX_Connect(TestAddress(0, 181), 0, InputChannel);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(::GetLastError(), 0u);
  NDX_HANDLE in = NDX_Connect(TestAddress(0, 181), 1, InputChannel);
  ASSERT_NE(in, nullptr);

  for (const bool wrapped : {false, true}) {
    SCOPED_TRACE(wrapped ? "VBNDX_" : "NDX_");
    // The two names have different calling conventions on 32-bit x86, so
    // they are called, not picked as one function pointer.
#define CALL(name, ...) (wrapped ? VB##name(__VA_ARGS__) : name(__VA_ARGS__))
#define OTHER(name, ...) (wrapped ? name(__VA_ARGS__) : VB##name(__VA_ARGS__))
    EXPECT_EQ(CALL(NDX_SetMDIO1, out, 31, 1), 0);
    EXPECT_EQ(CALL(NDX_SetMDIO1, out, 32, 1), NDX_ERROR_INVALID_INDEX);
    EXPECT_EQ(CALL(NDX_SetBlockSize, out, 0), NDX_ERROR_BAD_LENGTH);
    EXPECT_EQ(CALL(NDX_SetTimeout, in, 5000), 0);

    // Written through one name on the output handle, read back through the
    // other on the input handle of the same channel.
    const std::string sent = wrapped ? "through the wrapper" : "through the function";
    std::int32_t count = std::int32_t(sent.size());
    EXPECT_EQ(CALL(NDX_PutData, in, &count, sent.data()), NDX_ERROR_BAD_TOKEN_TYPE);  // direction
    EXPECT_EQ(count, 0);  // a failed transfer reports nothing taken
    count = std::int32_t(sent.size());
    ASSERT_EQ(CALL(NDX_PutData, out, &count, sent.data()), 0);
    EXPECT_EQ(count, std::int32_t(sent.size()));
    char got[64] = {};
    std::int32_t capacity = sizeof got;
    ASSERT_EQ(OTHER(NDX_GetData, in, &capacity, got), 0);
    EXPECT_EQ(std::string(got, std::size_t(capacity)), sent);
#undef OTHER
#undef CALL
  }

  EXPECT_EQ(VBNDX_Close(out), 0);
  EXPECT_EQ(NDX_Close(out), NDX_ERROR_BAD_UNIT);
  EXPECT_EQ(NDX_Close(in), 0);
  EXPECT_EQ(VBNDX_Close(in), NDX_ERROR_BAD_UNIT);
}

}  // namespace
