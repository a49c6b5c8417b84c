#include "platform/crypto.h"

#include "platform/files.h"

namespace vmrk::platform {

Sha256Digest Sha256Of(std::string_view bytes) {
  Sha256 hasher;
  hasher.Update(bytes);
  return hasher.Finish();
}

std::string Sha256Bytes(std::string_view bytes) {
  Sha256Digest d = Sha256Of(bytes);
  return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

Status Sha256OfFile(const std::string& path, std::string* digest, std::uint64_t* length) {
  Sha256 hasher;
  *length = 0;
  Status read = ReadFileInPieces(path, [&](std::string_view piece) {
    hasher.Update(piece);
    *length += piece.size();
  });
  Sha256Digest d = hasher.Finish();
  digest->assign(reinterpret_cast<const char*>(d.data()), d.size());
  return read;
}

}  // namespace vmrk::platform
