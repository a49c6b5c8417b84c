// Hashing and signatures from the system's own cryptography (OpenSSL's
// libcrypto on Linux, CNG on Windows); nothing here is computed by hand.
// ECDSA is over P-256 with SHA-256, in the forms both systems take as they
// are: a public key is the 65-byte uncompressed point (0x04, X, Y), a
// signature the 64 bytes r then s, and a private key the public key followed
// by the 32-byte scalar d (97 bytes).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace vmrk::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 fed in pieces, for bodies hashed while they stream.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Update(std::string_view bytes);
  // The digest of everything fed; the hasher starts over afterwards.
  Sha256Digest Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Sha256Digest Sha256Of(std::string_view bytes);
// The same 32 bytes as a string, the form manifests and indexes compare.
std::string Sha256Bytes(std::string_view bytes);

struct FileDigest {
  std::string sha256;  // the 32 bytes, as Sha256Bytes gives them
  std::uint64_t length = 0;
};
// The SHA-256 and length of a file, read in pieces and so taken together in
// one read: a file that changes meanwhile cannot pair one's hash with
// another's length. A read that fails part way is a failure, never the
// digest of the bytes read so far.
Result<FileDigest> Sha256OfFile(const std::string& path);

// True only for a valid signature of message by the holder of publicKey;
// malformed keys and signatures are simply not valid.
bool VerifySignature(std::string_view publicKey, std::string_view message, std::string_view signature);

// For the maintainer's tools.
struct KeyPair {
  std::string privateKey;  // kPrivateKeyBytes: the public key, then d
  std::string publicKey;   // kPublicKeyBytes
};
Result<KeyPair> GenerateKey();
// A signature of kSignatureBytes, and only one that the key's own public
// half verifies: a malformed key, or one whose halves do not belong
// together, is a failure.
Result<std::string> Sign(std::string_view privateKey, std::string_view message);

inline constexpr size_t kPublicKeyBytes = 65;
inline constexpr size_t kPrivateKeyBytes = 97;
inline constexpr size_t kSignatureBytes = 64;

}  // namespace vmrk::platform
