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

Result<FileDigest> Sha256OfFile(const std::string& path) {
  Sha256 hasher;
  FileDigest file;
  Status read = ReadFileInPieces(path, [&](std::string_view piece) {
    hasher.Update(piece);
    file.length += piece.size();
  });
  if (!read.ok()) return read;
  Sha256Digest d = hasher.Finish();
  file.sha256.assign(reinterpret_cast<const char*>(d.data()), d.size());
  return file;
}

}  // namespace vmrk::platform
