#include "install/server_order.h"

#include <algorithm>

namespace vmrk {

ServerOrder::ServerOrder(const std::vector<std::string>& bases) {
  for (const std::string& base : bases) Add(base);
}

void ServerOrder::Add(const std::string& base) {
  if (bases_.size() >= kMaxServers || std::find(bases_.begin(), bases_.end(), base) != bases_.end()) return;
  bases_.push_back(base);
  failed_.push_back(false);
  auto firstFailed = std::find_if(order_.begin(), order_.end(), [&](size_t s) { return failed_[s]; });
  order_.insert(firstFailed, bases_.size() - 1);
}

std::optional<size_t> ServerOrder::Next(ServerSet tried) const {
  for (size_t s : order_)
    if ((tried & ServerBit(s)) == 0) return s;
  return std::nullopt;
}

void ServerOrder::Failed(size_t server) {
  if (server >= bases_.size()) return;
  // Failing again moves it behind the others that failed since: the one
  // that failed longest ago is the likeliest to be back.
  failed_[server] = true;
  order_.erase(std::find(order_.begin(), order_.end(), server));
  order_.push_back(server);
}

}  // namespace vmrk
