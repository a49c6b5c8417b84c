// Which server a transfer asks: the servers of myip.txt (the first is the
// primary) and the mirrors the verified manifest names, in the run's order.
// Any server may serve any file, because every file is checked against the
// signed manifest: a server that failed a transfer (no connection, silence,
// an HTTP error, bytes that are not the object) is asked after every server
// that has not, for the rest of the run, so that a silent one costs one
// timeout per run and not one per file. Pure: the run tells it what failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vmrk {

// The servers one transfer has tried, bit k for server k.
using ServerSet = std::uint32_t;
inline constexpr size_t kMaxServers = 32;
inline constexpr ServerSet ServerBit(size_t server) { return ServerSet{1} << server; }

class ServerOrder {
 public:
  ServerOrder() = default;
  // Duplicates and those past kMaxServers are dropped.
  explicit ServerOrder(const std::vector<std::string>& bases);
  // A mirror named later: after every server that has not failed; one
  // already known is not added again.
  void Add(const std::string& base);
  size_t size() const { return bases_.size(); }
  const std::string& base(size_t server) const { return bases_[server]; }
  // The first server, in the run's order, that is not in `tried`; nullopt
  // when every one is.
  std::optional<size_t> Next(ServerSet tried) const;
  // Asked after every server that has not failed, from now on; the failed
  // ones keep the order in which they failed.
  void Failed(size_t server);
  bool failed(size_t server) const { return server < failed_.size() && failed_[server]; }
  // Server indices in the order they are asked.
  const std::vector<size_t>& order() const { return order_; }

 private:
  std::vector<std::string> bases_;
  std::vector<size_t> order_;
  std::vector<bool> failed_;
};

}  // namespace vmrk
