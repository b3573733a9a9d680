#include <exception>

#include "transport/client_sock.h"
#include "transport/result_numbers.h"

namespace velmora::transport {

TDClientThread::TDClientThread(TDClientSock* clientSock) : ClientSock(clientSock) {
  OsThread.CreateSuspended(&TDClientThread::Entry, this);
}

TDClientThread::~TDClientThread() { WaitFor(); }

std::uint32_t TDClientThread::WaitFor() {
  if (!Ended) {
    ExitStatus = OsThread.Join();
    Ended = true;
  }
  return ExitStatus;
}

std::uint32_t TDClientThread::Entry(void* self) {
  return static_cast<TDClientThread*>(self)->Run();
}

std::uint32_t TDClientReadThread::Run() {
  TDClientSock& sock = *ClientSock;
  std::uint32_t status = 0;
  try {
    // Each receive lands in a block that is then handed over whole, so no
    // received byte is copied again here. Blocks come back from the owner
    // once their bytes are taken; a new one is allocated only when none has.
    std::unique_ptr<char[]> block;
    {
      platform::MutexLock hold(sock.RecvMutex);
      block = sock.TakeFreeBlockLocked();
    }
    if (block == nullptr) block.reset(new char[TDClientSock::ReceiveBlockSize]);
    for (;;) {
      // Bytes nobody takes stay in the socket, where TCP holds the device back.
      if (!sock.WaitForRecvSpace() || !sock.StepAsideWhileCallersReceive()) {
        status = ErrorNotConnected;
        break;
      }
      const long n =
          platform::SocketRecv(sock.SocketHandle, block.get(), TDClientSock::ReceiveBlockSize);
      if (n <= 0) {
        status = ErrorNotConnected;
        break;
      }
      bool notify;
      {
        platform::MutexLock hold(sock.RecvMutex);
        sock.AppendReceivedLocked(std::move(block), static_cast<std::size_t>(n));
        block = sock.TakeFreeBlockLocked();
        notify = sock.NotifyDueLocked();
      }
      if (notify) sock.OnReceive.Notify(&sock);
      if (block == nullptr) block.reset(new char[TDClientSock::ReceiveBlockSize]);
    }
  } catch (...) {
    // Memory exhausted or the like: leave the loop and tear down as usual.
  }
  sock.Connected = false;
  sock.SendSemaphore.Release();  // wakes a writer waiting on an empty queue
  sock.Shutdown();
  sock.ReleaseSocketUse();
  sock.OnDisconnect.Notify(&sock);
  return status;
}

std::uint32_t TDClientWriteThread::Run() {
  TDClientSock& sock = *ClientSock;
  std::uint32_t status = 0;
  try {
    for (;;) {
      std::size_t alreadySent = 0;
      const ByteString data = sock.DequeueSend(alreadySent);
      if (data.empty()) {
        status = ErrorCancelled;
        break;
      }
      // The rest of the string goes out before the next one is taken, so the
      // peer always sees whole strings in order.
      const bool sent = platform::SocketSendAll(sock.SocketHandle, data.data() + alreadySent,
                                                data.size() - alreadySent);
      {
        platform::MutexLock hold(sock.SendMutex);
        sock.Sending = false;
      }
      if (!sent) {
        status = ErrorNotConnected;
        break;
      }
    }
  } catch (...) {
  }
  sock.Shutdown();
  sock.ReleaseSocketUse();
  return status;
}

}  // namespace velmora::transport
