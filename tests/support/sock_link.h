// A socket object connected to a scripted loopback peer, for the transport's
// tests: the peer listens, the object connects, the peer accepts.
#pragma once

#include <cstdint>

#include "support/loopback_peer.h"
#include "transport/client_sock.h"

namespace velmora::testing {

struct SockLink {
  // The slots are in place before the connection exists, so no notification
  // can come before them.
  SockLink(const char* address, std::uint16_t port, transport::TDClientSockEvent onReceive = {},
           transport::TDClientSockEvent onDisconnect = {})
      : Peer(address, port) {
    Sock.OnReceive = onReceive;
    Sock.OnDisconnect = onDisconnect;
    Peer.AcceptAsync();
    Result = Sock.Connect(address, port);
    Accepted = Peer.WaitAccepted();
  }

  LoopbackPeer Peer;
  transport::TDClientSock Sock;
  int Result = -1;
  bool Accepted = false;
};

}  // namespace velmora::testing
