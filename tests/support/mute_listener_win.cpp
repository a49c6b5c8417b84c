#include <winsock2.h>

#include <stdexcept>

#include "tests/support/mute_listener.h"

namespace vmrk::test {

MuteListener::MuteListener() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(s, 16) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("no mute listener on 127.0.0.1");
  socket_ = static_cast<long long>(s);
  port_ = ntohs(address.sin_port);
}

MuteListener::~MuteListener() {
  closesocket(static_cast<SOCKET>(socket_));
  WSACleanup();
}

}  // namespace vmrk::test
