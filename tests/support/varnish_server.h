// Debian's Varnish on loopback ports in front of one backend, set up as CDN
// edges often are: every answer kept for 300 s whatever its headers say, and
// a request's own Cache-Control ignored. Each listening port is a cache of
// its own (the port is part of every object's key), so that one Varnish can
// hold a different set of files for each of several updaters. Stopped with
// the object.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace vmrk::test {

class VarnishServer {
 public:
  VarnishServer(int backendPort, size_t caches);
  ~VarnishServer();
  // "127.0.0.1:port" of cache k, what myip.txt names after "seip:".
  std::string HostPort(size_t cache) const { return "127.0.0.1:" + std::to_string(ports_.at(cache)); }
  // Fetches a path through cache k, so that it holds the answer; the status.
  int Warm(size_t cache, const std::string& path) const;

 private:
  TempDir work_;
  std::vector<int> ports_;
  std::unique_ptr<Process> process_;
};

}  // namespace vmrk::test
