// Debian's nginx on a free loopback port, with its own configuration and
// temporary prefix, serving one folder. Stopped with the object.
#pragma once

#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/test_certificates.h"
#include "tests/support/temp_dir.h"

namespace vmrk::test {

class NginxServer {
 public:
  // With tls, it speaks HTTPS only, with that certificate and key.
  explicit NginxServer(const std::string& root, const TlsFiles& tls = {});
  ~NginxServer();
  int port() const { return port_; }
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  // Request lines of the access log ("GET /vmrkxupdate/list.txt").
  std::vector<std::string> Requests() const;
  // The access log's lines as nginx wrote them, status and length included.
  std::vector<std::string> LogLines() const;

 private:
  TempDir prefix_;
  int port_ = 0;
  std::unique_ptr<Process> process_;
};

// Xvfb on a display of its own choosing; DISPLAY for the programs under test.
class XvfbDisplay {
 public:
  XvfbDisplay();
  ~XvfbDisplay();
  const std::string& display() const { return display_; }

 private:
  std::string display_;
  std::unique_ptr<Process> process_;
};

}  // namespace vmrk::test
