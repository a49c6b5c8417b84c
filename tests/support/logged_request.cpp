#include <sstream>

#include "tests/support/loopback_server.h"

namespace vmrk::test {

LoggedRequest ParseLoggedRequest(const std::string& line) {
  std::istringstream fields(line);
  LoggedRequest request;
  fields >> request.connection >> request.method;
  fields.get();  // the space before the path
  std::getline(fields, request.path, '\t');
  std::getline(fields, request.range, '\t');
  std::getline(fields, request.ifRange);
  return request;
}

}  // namespace vmrk::test
