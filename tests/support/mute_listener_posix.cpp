#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "tests/support/mute_listener.h"

namespace vmrk::test {

MuteListener::MuteListener() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(s, 16) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("no mute listener on 127.0.0.1");
  socket_ = s;
  port_ = ntohs(address.sin_port);
}

MuteListener::~MuteListener() { ::close(static_cast<int>(socket_)); }

}  // namespace vmrk::test
