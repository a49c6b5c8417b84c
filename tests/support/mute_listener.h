// A socket on 127.0.0.1 that listens and never accepts: the system completes
// the TCP handshake into its backlog, after which the peer hears nothing.
// An https client to it waits in its TLS handshake, a plain one for the
// response: the two ways a transfer can hang before any byte comes back.
#pragma once

namespace vmrk::test {

class MuteListener {
 public:
  MuteListener();
  ~MuteListener();
  MuteListener(const MuteListener&) = delete;
  MuteListener& operator=(const MuteListener&) = delete;
  int port() const { return port_; }

 private:
  long long socket_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 whose connections never complete: its accept queue is
// full, so the system drops every new SYN, as a firewall that black-holes a
// server does. A client's connect waits for its own connect timeout.
class BlackHole {
 public:
  BlackHole();
  ~BlackHole();
  BlackHole(const BlackHole&) = delete;
  BlackHole& operator=(const BlackHole&) = delete;
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int fill_[2] = {-1, -1};  // the connections that fill the queue
  int port_ = 0;
};

}  // namespace vmrk::test
