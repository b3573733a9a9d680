// The IPv4 socket address both backends connect and listen with; for the
// backends only (it brings in the OS's socket headers).
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <netinet/in.h>
#endif

namespace velmora::platform {

// Address and port are in network byte order already.
inline sockaddr_in Ipv4SocketAddress(std::uint32_t addressNet, std::uint16_t portNet) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = portNet;
  address.sin_addr.s_addr = addressNet;
  return address;
}

}  // namespace velmora::platform
