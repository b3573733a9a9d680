// Packet retrieval and data transfer against a scripted device: request
// bytes, truncation to the caller's counts, direction, caller memory checks,
// and large blocks arriving intact. Addresses 127.0.0.86 to 127.0.0.89.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "support/device_link.h"
#include "support/guard_pages.h"
#include "support/test_address.h"

using velmora::testing::TestAddress;

using namespace velmora;
using velmora::testing::Chunk;
using velmora::testing::DeviceLink;
using velmora::testing::Tag;

namespace {

std::string Pattern(std::size_t n, unsigned salt) {
  std::string s(n, '\0');
  std::uint32_t x = salt * 2654435761u + 1;
  for (auto& c : s) {
    x = x * 1664525u + 1013904223u;
    c = char(x >> 24);
  }
  return s;
}

// Plays one reply for whatever request arrives, and hands the request back.
std::string Serve(DeviceLink& link, const std::string& reply) {
  std::string request = link.Peer.ReadChunk(20000);
  link.Peer.Write(reply);
  return request;
}

}  // namespace

TEST(GetData, SendsLenAndTruncatesToTheCount) {
  DeviceLink link(TestAddress(0, 86), true);
  ASSERT_NE(link.Handle, nullptr);
  std::int32_t count = 16;
  char buffer[32];
  std::memset(buffer, '#', sizeof buffer);
  std::string request;
  std::thread device([&] { request = Serve(link, Chunk("RDATA", {}, "ABCDEFGHIJKLMNOPQRST")); });
  EXPECT_EQ(device::GetData(link.Handle, &count, buffer), 0);
  device.join();
  EXPECT_EQ(request, std::string("\xAD\xAB\xA7\x26\x17\0\0\0\x13\0\0\0\x01\0\0\0\x03\0\0\0Len"
                                 "\x04\0\0\0\x10\0\0\0",
                                 31));
  EXPECT_EQ(count, 16);
  EXPECT_EQ(std::string(buffer, 16), "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(buffer[16], '#');

  // A short payload leaves the rest of the buffer untouched.
  count = 16;
  std::memset(buffer, '#', sizeof buffer);
  device = std::thread([&] { Serve(link, Chunk("RDATA", {}, "xyz")); });
  EXPECT_EQ(device::GetData(link.Handle, &count, buffer), 0);
  device.join();
  EXPECT_EQ(count, 3);
  EXPECT_EQ(std::string(buffer, 4), "xyz#");
}

TEST(GetAllPackets, CopiesPayloadAndTimeCutToTheirCounts) {
  DeviceLink link(TestAddress(0, 87), true);
  ASSERT_NE(link.Handle, nullptr);
  const std::string time("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  for (const char* tag : {"RREQA", "RREQL"}) {
    std::int32_t timeCount = 4, dataCount = 100;
    char timeBuffer[8] = {}, data[100];
    std::memset(data, '#', sizeof data);
    std::string request;
    std::thread device(
        [&] { request = Serve(link, Chunk("RDATA", {{"Time", time}}, "0123456789")); });
    const std::int32_t result =
        std::string(tag) == "RREQA"
            ? device::GetAllPackets(link.Handle, &timeCount, timeBuffer, &dataCount, data)
            : device::GetLatestPacketAndDiscard(link.Handle, &timeCount, timeBuffer, &dataCount,
                                                data);
    device.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(request, Chunk(tag));
    EXPECT_EQ(request.size(), 8u);
    EXPECT_EQ(timeCount, 4);
    EXPECT_EQ(std::string(timeBuffer, 4), time.substr(0, 4));
    EXPECT_EQ(timeBuffer[4], 0);
    EXPECT_EQ(dataCount, 10);
    EXPECT_EQ(std::string(data, 11), "0123456789#");
  }
  // No "Time" header and an empty payload.
  std::int32_t timeCount = 8, dataCount = 4;
  char timeBuffer[8] = {'t'}, data[4] = {'d'};
  std::thread device([&] { Serve(link, Chunk("RDATA")); });
  EXPECT_EQ(device::GetAllPackets(link.Handle, &timeCount, timeBuffer, &dataCount, data), 0);
  device.join();
  EXPECT_EQ(timeCount, 0);
  EXPECT_EQ(dataCount, 0);
  EXPECT_EQ(timeBuffer[0], 't');
  EXPECT_EQ(data[0], 'd');
}

TEST(GetAllPackets, BadCountsGive24WithBothCountsClearedAndNothingSent) {
  DeviceLink link(TestAddress(0, 87), true, 1);
  ASSERT_NE(link.Handle, nullptr);
  char t[4], d[4];
  for (auto counts : {std::pair<int, int>{0, 4}, {4, 0}, {-1, 4}, {4, -7}}) {
    std::int32_t timeCount = counts.first, dataCount = counts.second;
    EXPECT_EQ(device::GetAllPackets(link.Handle, &timeCount, t, &dataCount, d), 24);
    EXPECT_EQ(timeCount, 0);
    EXPECT_EQ(dataCount, 0);
  }
  std::int32_t count = 0;
  EXPECT_EQ(device::GetData(link.Handle, &count, d), 24);
  ASSERT_EQ(device::Go(link.Handle), 0);
  EXPECT_EQ(Tag(link.Peer.ReadChunk()), "GOGO.");  // the first thing on the wire
}

TEST(DataDirection, WrongDirectionGives1349WithCountsCleared) {
  DeviceLink output(TestAddress(0, 88), false);
  DeviceLink input(TestAddress(0, 88), true);
  ASSERT_NE(output.Handle, nullptr);
  ASSERT_NE(input.Handle, nullptr);
  char buffer[8] = {};
  std::int32_t count = 8, other = 8;
  EXPECT_EQ(device::GetData(output.Handle, &count, buffer), 1349);
  EXPECT_EQ(count, 0);
  count = 8;
  EXPECT_EQ(device::GetAllPackets(output.Handle, &count, buffer, &other, buffer), 1349);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(other, 0);
  count = 8;
  EXPECT_EQ(device::PutData(input.Handle, &count, buffer), 1349);
  EXPECT_EQ(count, 0);
}

TEST(CallerMemory, NullAndUnreadablePointersGive998BeforeAnythingIsSent) {
  DeviceLink input(TestAddress(0, 89), true);
  DeviceLink output(TestAddress(0, 89), false);
  ASSERT_NE(input.Handle, nullptr);
  ASSERT_NE(output.Handle, nullptr);
  char buffer[8];
  std::int32_t count = 8, other = 8;
  EXPECT_EQ(device::GetData(input.Handle, nullptr, buffer), 998);
  EXPECT_EQ(device::GetData(input.Handle, &count, nullptr), 998);
  EXPECT_EQ(count, 0);
  count = 8;
  EXPECT_EQ(device::GetAllPackets(input.Handle, nullptr, buffer, &other, buffer), 998);
  EXPECT_EQ(other, 0);
  other = 8;
  EXPECT_EQ(device::GetLatestPacketAndDiscard(input.Handle, &count, nullptr, &other, buffer), 998);
  EXPECT_EQ(device::PutData(output.Handle, nullptr, buffer), 998);
  count = 5;
  EXPECT_EQ(device::PutData(output.Handle, &count, nullptr), 998);
  EXPECT_EQ(count, 0);

  VELMORA_SKIP_UNLESS_GUARDED_COPIES_SEE_FAULTS();
  velmora::testing::GuardPages pages;
  ASSERT_TRUE(pages.Valid());
  void* noAccess = pages.NoAccess();
  count = 5;
  EXPECT_EQ(device::PutData(output.Handle, &count, noAccess), 998);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(device::GetData(input.Handle, static_cast<std::int32_t*>(noAccess), buffer), 998);

  // An unwritable data buffer is found when the reply is copied out.
  count = 8;
  std::thread device([&] { Serve(input, Chunk("RDATA", {}, "payload")); });
  EXPECT_EQ(device::GetData(input.Handle, &count, noAccess), 998);
  device.join();
  EXPECT_EQ(count, 0);

  // Nothing reached either device before the marker.
  ASSERT_EQ(device::Clear(output.Handle), 0);
  EXPECT_EQ(Tag(output.Peer.ReadChunk()), "CLEAR");
  ASSERT_EQ(device::Clear(input.Handle), 0);
  EXPECT_EQ(Tag(input.Peer.ReadChunk()), "CLEAR");  // the served request was the only one
}

TEST(PutData, SendsOneWDataChunkAndReportsTheDevicesCount) {
  DeviceLink link(TestAddress(0, 86), false, 2);
  ASSERT_NE(link.Handle, nullptr);
  struct Case {
    std::string reply;
    std::int32_t expected;
  };
  for (const Case& c : {Case{Chunk("WRESP", {{"Bytes", diff::IntToBytes(5)}}), 5},
                        Case{Chunk("WRESP", {{"Bytes", std::string("\x05\0", 2)}}), 5},
                        Case{Chunk("WRESP"), 0}}) {
    std::int32_t count = 5;
    std::string request;
    std::thread device([&] { request = Serve(link, c.reply); });
    EXPECT_EQ(device::PutData(link.Handle, &count, "hello"), 0);
    device.join();
    EXPECT_EQ(request, std::string("\xC0\x9D\xD6\x6A\x05\0\0\0hello", 13));
    EXPECT_EQ(count, c.expected);
  }
}

TEST(LargeBlocks, SixteenMebibytesArriveIntactBothWays) {
  constexpr std::size_t Size = 16 << 20;
  const std::string data = Pattern(Size, 7);
  {
    DeviceLink link(TestAddress(0, 86), true, 3);
    ASSERT_NE(link.Handle, nullptr);
    ASSERT_EQ(device::SetTimeout(link.Handle, 10000), 0);
    std::vector<char> buffer(Size);
    std::int32_t count = std::int32_t(Size);
    std::thread device([&] { Serve(link, Chunk("RDATA", {}, data)); });
    EXPECT_EQ(device::GetData(link.Handle, &count, buffer.data()), 0);
    device.join();
    ASSERT_EQ(count, std::int32_t(Size));
    EXPECT_TRUE(std::memcmp(buffer.data(), data.data(), Size) == 0);
  }
  {
    DeviceLink link(TestAddress(0, 86), false, 3);
    ASSERT_NE(link.Handle, nullptr);
    ASSERT_EQ(device::SetTimeout(link.Handle, 10000), 0);
    std::int32_t count = std::int32_t(Size);
    std::string request;
    std::thread device(
        [&] { request = Serve(link, Chunk("WRESP", {{"Bytes", diff::IntToBytes(int(Size))}})); });
    EXPECT_EQ(device::PutData(link.Handle, &count, data.data()), 0);
    device.join();
    EXPECT_EQ(count, std::int32_t(Size));
    ASSERT_EQ(request.size(), Size + 8);
    EXPECT_TRUE(request.compare(8, Size, data) == 0);
  }
}
