#include "platform/crypto.h"

namespace vmrk::platform {

Sha256Digest Sha256Of(std::string_view bytes) {
  Sha256 hasher;
  hasher.Update(bytes);
  return hasher.Finish();
}

}  // namespace vmrk::platform
