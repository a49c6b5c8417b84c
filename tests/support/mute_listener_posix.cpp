#include <arpa/inet.h>
#include <fcntl.h>
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

BlackHole::BlackHole() {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  // A backlog of 0 holds one connection: the first fill takes it, and the
  // second makes sure, whatever the system rounds the backlog to.
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 0) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("no black hole on 127.0.0.1");
  port_ = ntohs(address.sin_port);
  for (int& fill : fill_) {
    fill = ::socket(AF_INET, SOCK_STREAM, 0);
    ::fcntl(fill, F_SETFL, O_NONBLOCK);
    (void)::connect(fill, reinterpret_cast<sockaddr*>(&address), sizeof address);  // in progress, or queued
  }
}

BlackHole::~BlackHole() {
  for (int fill : fill_) ::close(fill);
  ::close(listener_);
}

}  // namespace vmrk::test
