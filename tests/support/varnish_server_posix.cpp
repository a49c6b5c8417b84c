#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/support/varnish_server.h"

namespace vmrk::test {

VarnishServer::VarnishServer(int backendPort, size_t caches) {
  // vcl_recv and vcl_backend_response return before Varnish's own rules,
  // which would pass a no-cache answer through uncached.
  work_.Write("edge.vcl", "vcl 4.1;\nimport std;\n"
                          "backend origin { .host = \"127.0.0.1\"; .port = \"" + std::to_string(backendPort) + "\"; }\n"
                          "sub vcl_recv { return (hash); }\n"
                          "sub vcl_hash { hash_data(req.url); hash_data(\"\" + std.port(server.ip)); return (lookup); }\n"
                          "sub vcl_backend_response { set beresp.ttl = 300s; set beresp.grace = 0s; return (deliver); }\n");
  for (int attempt = 0; attempt < 3 && !process_; ++attempt) {
    ports_.clear();
    std::vector<std::string> arguments = {"-F", "-j", "none", "-n", work_.Sub("state"), "-f", work_.Sub("edge.vcl"),
                                          "-s", "malloc,64m", "-T", "127.0.0.1:0"};
    for (size_t k = 0; k < caches; ++k) {
      ports_.push_back(FreeLoopbackPort());
      arguments.insert(arguments.end(), {"-a", "127.0.0.1:" + std::to_string(ports_.back())});
    }
    auto process = std::make_unique<Process>("/usr/sbin/varnishd", arguments, Environment{}, false, true);
    // It compiles its configuration first: a few seconds on a busy machine.
    for (int i = 0; i < 1500; ++i) {
      if (LoopbackPortAccepts(ports_.back())) {
        process_ = std::move(process);
        break;
      }
      if (!process->Running()) break;  // a port was taken after all: try others
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (!process_) throw std::runtime_error("varnishd did not start");
}

VarnishServer::~VarnishServer() = default;

int VarnishServer::Warm(size_t cache, const std::string& path) const {
  const std::string status = RunAndCapture(
      {"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "http://" + HostPort(cache) + path});
  return std::atoi(status.c_str());
}

}  // namespace vmrk::test
