// VELMORA.dll loaded and unloaded the way a host that binds late does it:
// LoadLibrary, GetProcAddress by name and by ordinal, FreeLibrary. This
// program does not link the DLL, so every load is a real process attach and
// every free a real detach. Addresses 127.0.0.185 and 127.0.12.21 belong to
// this file.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <string>

#include "support/test_address.h"

using velmora::testing::TestAddress;

namespace {

using CdeclClose = std::int32_t(__cdecl*)(void*);
using StdcallClose = std::int32_t(__stdcall*)(void*);
using CdeclConnect = void*(__cdecl*)(const char*, std::int32_t, std::int32_t);

// FARPROC to the export's real type (through void*, which any function
// pointer converts to here).
template <class Function>
Function As(FARPROC proc) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(proc));
}

std::string DllBesideThisProgram() {
  char path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p(path, n);
  return p.substr(0, p.find_last_of("\\/") + 1) + "VELMORA.dll";
}

int ThreadsOfThisProcess() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
  }
  ::CloseHandle(snapshot);
  return count;
}

// One load: the lookups a host makes, a harmless call through each calling
// convention, a failed connect (which needs the socket library that the load
// started), and the unload.
void LoadUseAndFree(const std::string& path) {
  const HMODULE dll = ::LoadLibraryA(path.c_str());
  ASSERT_NE(dll, nullptr) << path << ": error " << ::GetLastError();

  const FARPROC connect = ::GetProcAddress(dll, "NDX_Connect");
  ASSERT_NE(connect, nullptr);
  EXPECT_EQ(::GetProcAddress(dll, MAKEINTRESOURCEA(1)), connect);
  EXPECT_EQ(::GetProcAddress(dll, MAKEINTRESOURCEA(2)), ::GetProcAddress(dll, "_NDX_Connect"));
  EXPECT_EQ(::GetProcAddress(dll, MAKEINTRESOURCEA(2)), connect);
  const FARPROC latest = ::GetProcAddress(dll, "VBNDX_GetLatestPacketAndDiscard");
  ASSERT_NE(latest, nullptr);
  EXPECT_EQ(::GetProcAddress(dll, MAKEINTRESOURCEA(45)), latest);
  EXPECT_EQ(::GetProcAddress(dll, MAKEINTRESOURCEA(46)), nullptr);
  EXPECT_EQ(::GetProcAddress(dll, "NDX_GetLastError"), nullptr);  // Linux only

  const auto close = As<CdeclClose>(::GetProcAddress(dll, "NDX_Close"));
  const auto vbClose = As<StdcallClose>(::GetProcAddress(dll, "VBNDX_Close"));
  ASSERT_NE(close, nullptr);
  ASSERT_NE(vbClose, nullptr);
  EXPECT_EQ(close(nullptr), 20);  // not a live handle
  EXPECT_EQ(vbClose(nullptr), 20);

  ::SetLastError(0);
  EXPECT_EQ(As<CdeclConnect>(connect)(TestAddress(0, 185), 1, 0), nullptr);
  EXPECT_EQ(::GetLastError(), 1203u);  // refused, not 1222 (no socket library)

  ASSERT_TRUE(::FreeLibrary(dll));
  EXPECT_EQ(::GetModuleHandleA("VELMORA.dll"), nullptr) << "still loaded after FreeLibrary";
}

TEST(WindowsLibraryLoad, HundredLoadsAndUnloadsLeaveNothingBehind) {
  const std::string path = DllBesideThisProgram();
  ASSERT_EQ(::GetModuleHandleA("VELMORA.dll"), nullptr);
  // The first load may start helper threads of the system's socket library
  // that stay for the process; count only after it.
  LoadUseAndFree(path);
  const int threads = ThreadsOfThisProcess();
  ASSERT_GT(threads, 0);
  for (int i = 0; i < 99 && !::testing::Test::HasFatalFailure(); ++i) LoadUseAndFree(path);
  EXPECT_EQ(ThreadsOfThisProcess(), threads);
}

// Freed with a handle still open: the handle's threads run code of the DLL,
// so it must stay loaded until the handle is closed (through a function
// pointer the host kept) and go after that.
TEST(WindowsLibraryLoad, FreedTooEarlyItStaysUntilTheLastHandleCloses) {
  WSADATA data;
  ASSERT_EQ(::WSAStartup(0x0202, &data), 0);
  const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(listener, INVALID_SOCKET);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = ::htons(0xED10);
  address.sin_addr.s_addr = ::inet_addr(TestAddress(12, 21));
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);

  const HMODULE dll = ::LoadLibraryA(DllBesideThisProgram().c_str());
  ASSERT_NE(dll, nullptr);
  const auto connect = As<CdeclConnect>(::GetProcAddress(dll, "NDX_Connect"));
  const auto close = As<CdeclClose>(::GetProcAddress(dll, "NDX_Close"));
  ASSERT_NE(connect, nullptr);
  ASSERT_NE(close, nullptr);
  void* h = connect(TestAddress(12, 21), 1, 0);
  ASSERT_NE(h, nullptr) << ::GetLastError();
  const SOCKET accepted = ::accept(listener, nullptr, nullptr);
  ASSERT_NE(accepted, INVALID_SOCKET);

  ASSERT_TRUE(::FreeLibrary(dll));
  EXPECT_NE(::GetModuleHandleA("VELMORA.dll"), nullptr) << "unloaded under a live handle";
  // The device drops the link: the reader and writer run their teardown.
  ::shutdown(accepted, SD_BOTH);
  ::closesocket(accepted);
  ::Sleep(300);
  EXPECT_NE(::GetModuleHandleA("VELMORA.dll"), nullptr);

  EXPECT_EQ(close(h), 0);
  bool unloaded = false;
  for (int i = 0; i < 300 && !unloaded; ++i) {
    unloaded = ::GetModuleHandleA("VELMORA.dll") == nullptr;
    if (!unloaded) ::Sleep(10);
  }
  EXPECT_TRUE(unloaded) << "the DLL stayed loaded after its last handle closed";
  ::closesocket(listener);
  ::WSACleanup();
}

}  // namespace
