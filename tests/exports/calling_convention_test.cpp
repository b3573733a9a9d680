// Every function of the export list, called under each of its three names the
// way a host calls it: NDX_ and _NDX_ as caller-cleans (cdecl), VBNDX_ as
// callee-cleans (stdcall), against a simulated device, checking the results.
// On 32-bit x86 the arguments are pushed and the call made in assembly, and
// the stack pointer after the call must show that exactly the right party
// removed exactly the argument bytes of the list: 4 per argument by the
// caller for cdecl, none left for it after stdcall. Elsewhere both names use
// the platform's one convention and only the results are checked.
// Addresses 127.0.0.133 and 127.0.0.134 belong to this file.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "device/function_list.h"
#include "sim/simulated_device.h"
#include "support/call_probe.h"
#include "support/library_under_test.h"
#include "support/test_address.h"
#include "velmora.h"

using velmora::testing::TestAddress;

namespace {

namespace sim = velmora::sim;
namespace wire = velmora::wire;

const char* const DeviceAddress = TestAddress(0, 133);
const char* const NobodyAddress = TestAddress(0, 134);

#define VELMORA_ENUM(name, ret, bytes, params, args) name,
enum class Fn { VELMORA_FUNCTIONS(VELMORA_ENUM) };
#undef VELMORA_ENUM

using velmora::testing::ProbedCall;
using velmora::testing::Words;
using Caller = ProbedCall (*)(const void* fn, const Words& words);

struct ListedFunction {
  const char* Name;
  int ArgumentBytes;
  Caller Call;
};

#define VELMORA_ENTRY(name, ret, bytes, params, args) \
  {#name, bytes, &velmora::testing::CallWithWords<decltype(&NDX_##name)>},
const ListedFunction Listed[] = {VELMORA_FUNCTIONS(VELMORA_ENTRY)};
#undef VELMORA_ENTRY
constexpr int ListedCount = int(sizeof Listed / sizeof Listed[0]);


enum class Name { Plain, Underscore, Wrapper };
const char* Prefix(Name n) {
  return n == Name::Plain ? "NDX_" : n == Name::Underscore ? "_NDX_" : "VBNDX_";
}

template <typename T>
std::uintptr_t W(T* p) {
  return reinterpret_cast<std::uintptr_t>(p);
}
std::uintptr_t W(std::int32_t v) { return std::uintptr_t(std::uint32_t(v)); }

class CallingConvention : public ::testing::TestWithParam<Name> {
 protected:
  static void SetUpTestSuite() {
    Lib = velmora::testing::LoadLibraryUnderTest(RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(Lib, nullptr) << dlerror();
    LastError = reinterpret_cast<std::int32_t (*)()>(dlsym(Lib, "NDX_GetLastError"));
    ASSERT_NE(LastError, nullptr);
    Device = new sim::SimulatedDevice(DeviceAddress);
    ASSERT_TRUE(Device->Start());
    Device->SetManualClock(true);
  }
  static void TearDownTestSuite() {
    delete Device;
    Device = nullptr;
    if (Lib != nullptr) dlclose(Lib);
    Lib = nullptr;
  }

  // Calls the listed function `f` under this test's name with the given
  // argument words, checks how the stack was cleaned, and returns the result
  // (a handle for Connect, an error number otherwise).
  std::intptr_t Call(Fn f, std::initializer_list<std::uintptr_t> args) {
    const ListedFunction& e = Listed[int(f)];
    const std::string symbol = std::string(Prefix(GetParam())) + e.Name;
    void* fn = dlsym(Lib, symbol.c_str());
    EXPECT_NE(fn, nullptr) << symbol;
    EXPECT_EQ(int(args.size()) * 4, e.ArgumentBytes) << symbol << ": the list's argument bytes";
    if (fn == nullptr) return -1;
    Called.insert(e.Name);
    const ProbedCall call = e.Call(fn, Words(args));
    if (call.Probed) {
      const std::int32_t expected = GetParam() == Name::Wrapper ? 0 : -e.ArgumentBytes;
      EXPECT_EQ(call.StackShift, expected)
          << symbol << ": stack pointer after the call, relative to before the pushes";
    }
    return call.Result;
  }

  static void* Lib;
  static std::int32_t (*LastError)();
  static sim::SimulatedDevice* Device;
  std::set<std::string> Called;
};

void* CallingConvention::Lib = nullptr;
std::int32_t (*CallingConvention::LastError)() = nullptr;
sim::SimulatedDevice* CallingConvention::Device = nullptr;

TEST_P(CallingConvention, EveryListedFunctionGivesItsDocumentedResults) {
  const int channel = int(GetParam());  // each name works on its own channel
  const std::uint16_t inPort = sim::InputPort(channel);
  const std::uint16_t outPort = sim::OutputPort(channel);
  char host[32];
  std::strcpy(host, DeviceAddress);
  char nobody[32];
  std::strcpy(nobody, NobodyAddress);

  EXPECT_EQ(Call(Fn::Connect, {W(nobody), W(1), W(channel)}), 0);
  EXPECT_EQ(LastError(), NDX_ERROR_NO_NET_OR_BAD_PATH);
  void* in = reinterpret_cast<void*>(Call(Fn::Connect, {W(host), W(7), W(channel)}));
  ASSERT_NE(in, nullptr) << LastError();
  EXPECT_EQ(LastError(), 0);
  void* out = reinterpret_cast<void*>(Call(Fn::Connect, {W(host), W(0), W(channel)}));
  ASSERT_NE(out, nullptr) << LastError();

  // Settings: the device holds exactly what was passed.
  EXPECT_EQ(Call(Fn::SetFreq, {W(in), W(2000)}), 0);
  EXPECT_EQ(Call(Fn::SetPacketBits, {W(in), W(8)}), 0);
  EXPECT_EQ(Call(Fn::SetBlockSize, {W(in), W(16)}), 0);
  EXPECT_EQ(Call(Fn::SetBlockSize, {W(in), W(0)}), NDX_ERROR_BAD_LENGTH);
  EXPECT_EQ(Call(Fn::SetAZero, {W(in), W(1)}), 0);
  EXPECT_EQ(Call(Fn::SetMDIO1, {W(in), W(5), W(1)}), 0);
  EXPECT_EQ(Call(Fn::SetMDIO1, {W(in), W(32), W(1)}), NDX_ERROR_INVALID_INDEX);
  EXPECT_EQ(Call(Fn::SetTimeout, {W(in), W(5000)}), 0);
  EXPECT_EQ(Call(Fn::SetTimeout, {W(in), W(-1)}), NDX_ERROR_BAD_LENGTH);
  ASSERT_TRUE(Device->WaitForReceived(inPort, 5, 5000));
  const sim::ChannelConfig config = Device->Config(channel);
  EXPECT_EQ(config.FrequencyHz, 2000);
  EXPECT_EQ(config.PacketBits, 8);
  EXPECT_EQ(config.BlockBytes, 16);
  EXPECT_EQ(config.Lines, 0x21u);

  // Packets: 2000 one-byte samples per second, 16 per packet, on a clock
  // that moves only when told.
  std::int32_t timeCount = 0;
  std::uint64_t time = 0;
  std::int32_t dataCount = 0;
  char data[1024];
  const auto fetch = [&](Fn f) {
    timeCount = 8;
    time = ~std::uint64_t(0);
    dataCount = std::int32_t(sizeof data);
    return Call(f, {W(in), W(&timeCount), W(&time), W(&dataCount), W(data)});
  };
  EXPECT_EQ(Call(Fn::Go, {W(in)}), 0);
  ASSERT_TRUE(Device->WaitForReceived(inPort, 6, 5000));
  Device->AdvanceClock(80000);  // 160 samples: packets 0 to 9
  ASSERT_EQ(fetch(Fn::GetAllPackets), 0);
  EXPECT_EQ(timeCount, 8);
  EXPECT_EQ(time, 0u);
  ASSERT_EQ(dataCount, 160);
  EXPECT_EQ(std::string(data, 160), sim::AcquisitionBytes(1, 0, 160));

  Device->AdvanceClock(40000);  // packets 10 to 14
  ASSERT_EQ(fetch(Fn::GetLatestPacketAndDiscard), 0);
  EXPECT_EQ(time, sim::PacketTimeUs(14, 16, 1, 2000));
  ASSERT_EQ(dataCount, 16);
  EXPECT_EQ(std::string(data, 16), sim::AcquisitionBytes(1, 14 * 16, 16));
  EXPECT_EQ(fetch(Fn::GetLatestPacketAndDiscard), NDX_ERROR_BAD_NET_RESP);
  EXPECT_EQ(LastError(), wire::status::NothingNew);

  EXPECT_EQ(Call(Fn::GoClear, {W(in)}), 0);  // restarts at sample 0
  ASSERT_TRUE(Device->WaitForReceived(inPort, 10, 5000));
  Device->AdvanceClock(8000);
  ASSERT_EQ(fetch(Fn::GetAllPackets), 0);
  EXPECT_EQ(time, 0u);
  ASSERT_EQ(dataCount, 16);
  EXPECT_EQ(std::string(data, 16), sim::AcquisitionBytes(1, 0, 16));
  EXPECT_EQ(Call(Fn::Clear, {W(in)}), 0);
  EXPECT_EQ(fetch(Fn::GetAllPackets), NDX_ERROR_BAD_NET_RESP);
  EXPECT_EQ(LastError(), wire::status::NotStarted);

  // Data through the channel's store, and the direction checks.
  char text[] = "probe";
  std::int32_t count = 5;
  EXPECT_EQ(Call(Fn::PutData, {W(out), W(&count), W(text)}), 0);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(Call(Fn::PutData, {W(in), W(&count), W(text)}), NDX_ERROR_BAD_TOKEN_TYPE);
  count = 64;
  EXPECT_EQ(Call(Fn::GetData, {W(out), W(&count), W(data)}), NDX_ERROR_BAD_TOKEN_TYPE);
  count = 64;
  EXPECT_EQ(Call(Fn::GetData, {W(in), W(&count), W(data)}), 0);
  ASSERT_EQ(count, 5);
  EXPECT_EQ(std::string(data, 5), "probe");

  EXPECT_EQ(Call(Fn::Close, {W(in)}), 0);
  EXPECT_EQ(Call(Fn::Close, {W(out)}), 0);
  EXPECT_EQ(Call(Fn::Close, {W(in)}), NDX_ERROR_BAD_UNIT);
  EXPECT_TRUE(Device->WaitForPeerClosed(outPort, 5000));

  // A function added to the list without a call here fails the test.
  for (const ListedFunction& e : Listed) EXPECT_EQ(Called.count(e.Name), 1u) << e.Name << " was not called";
  EXPECT_EQ(int(Called.size()), ListedCount);
}

INSTANTIATE_TEST_SUITE_P(AllNames, CallingConvention,
                         ::testing::Values(Name::Plain, Name::Underscore, Name::Wrapper),
                         [](const ::testing::TestParamInfo<Name>& info) {
                           return info.param == Name::Plain        ? std::string("NDX")
                                  : info.param == Name::Underscore ? std::string("UnderscoreNDX")
                                                                   : std::string("VBNDX");
                         });

}  // namespace
