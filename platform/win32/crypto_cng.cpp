// CNG (bcrypt.dll), a system library from Windows Vista on.
#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "platform/crypto.h"

namespace vmrk::platform {
namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

class Algorithm {
 public:
  explicit Algorithm(LPCWSTR name) {
    if (!Succeeded(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, 0))) handle_ = nullptr;
  }
  ~Algorithm() {
    if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  Algorithm(const Algorithm&) = delete;
  Algorithm& operator=(const Algorithm&) = delete;
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class Key {
 public:
  Key() = default;
  ~Key() {
    if (handle != nullptr) BCryptDestroyKey(handle);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  BCRYPT_KEY_HANDLE handle = nullptr;
};

// The blob CNG imports: a header, then X and Y (and d for a private key).
std::vector<UCHAR> EccBlob(ULONG magic, std::string_view point, std::string_view scalar) {
  BCRYPT_ECCKEY_BLOB header{magic, 32};
  std::vector<UCHAR> blob(sizeof header + 64 + scalar.size());
  memcpy(blob.data(), &header, sizeof header);
  memcpy(blob.data() + sizeof header, point.data() + 1, 64);
  if (!scalar.empty()) memcpy(blob.data() + sizeof header + 64, scalar.data(), scalar.size());
  return blob;
}

bool ImportKey(const Algorithm& ecdsa, LPCWSTR type, std::vector<UCHAR>& blob, Key* key) {
  return ecdsa.get() != nullptr &&
         Succeeded(BCryptImportKeyPair(ecdsa.get(), nullptr, type, &key->handle, blob.data(),
                                       static_cast<ULONG>(blob.size()), 0));
}

}  // namespace

struct Sha256::State {
  Algorithm algorithm{BCRYPT_SHA256_ALGORITHM};
  BCRYPT_HASH_HANDLE hash = nullptr;
  void Start() {
    if (algorithm.get() != nullptr && !Succeeded(BCryptCreateHash(algorithm.get(), &hash, nullptr, 0, nullptr, 0, 0)))
      hash = nullptr;
  }
  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) { state_->Start(); }
Sha256::~Sha256() = default;

void Sha256::Update(std::string_view bytes) {
  if (state_->hash == nullptr) return;
  // BCryptHashData takes at most 4 GiB at a time.
  while (!bytes.empty()) {
    ULONG piece = static_cast<ULONG>(std::min<size_t>(bytes.size(), 1u << 30));
    BCryptHashData(state_->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), piece, 0);
    bytes.remove_prefix(piece);
  }
}

Sha256Digest Sha256::Finish() {
  Sha256Digest digest{};
  if (state_->hash != nullptr) {
    BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    BCryptDestroyHash(state_->hash);
    state_->hash = nullptr;
  }
  state_->Start();
  return digest;
}

bool VerifySignature(std::string_view publicKey, std::string_view message, std::string_view signature) {
  if (publicKey.size() != kPublicKeyBytes || publicKey[0] != 0x04 || signature.size() != kSignatureBytes) return false;
  Algorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  std::vector<UCHAR> blob = EccBlob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, publicKey, {});
  if (!ImportKey(ecdsa, BCRYPT_ECCPUBLIC_BLOB, blob, &key)) return false;
  Sha256Digest digest = Sha256Of(message);
  return Succeeded(BCryptVerifySignature(key.handle, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                         reinterpret_cast<PUCHAR>(const_cast<char*>(signature.data())),
                                         static_cast<ULONG>(signature.size()), 0));
}

Result<KeyPair> GenerateKey() {
  Algorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  if (ecdsa.get() == nullptr || !Succeeded(BCryptGenerateKeyPair(ecdsa.get(), &key.handle, 256, 0)) ||
      !Succeeded(BCryptFinalizeKeyPair(key.handle, 0)))
    return Status::Error("cannot generate a P-256 key");
  ULONG size = 0;
  if (!Succeeded(BCryptExportKey(key.handle, nullptr, BCRYPT_ECCPRIVATE_BLOB, nullptr, 0, &size, 0)))
    return Status::Error("cannot export the generated key");
  std::vector<UCHAR> blob(size);
  if (!Succeeded(BCryptExportKey(key.handle, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(), size, &size, 0)) ||
      size != sizeof(BCRYPT_ECCKEY_BLOB) + 96)
    return Status::Error("cannot export the generated key");
  const char* parts = reinterpret_cast<const char*>(blob.data() + sizeof(BCRYPT_ECCKEY_BLOB));
  KeyPair pair;
  pair.publicKey = std::string(1, '\x04') + std::string(parts, 64);
  pair.privateKey = pair.publicKey + std::string(parts + 64, 32);
  SecureZeroMemory(blob.data(), blob.size());
  return pair;
}

Result<std::string> Sign(std::string_view privateKey, std::string_view message) {
  if (privateKey.size() != kPrivateKeyBytes || privateKey[0] != 0x04)
    return Status::Error("the private key is not 97 bytes");
  Algorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  std::vector<UCHAR> blob =
      EccBlob(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, privateKey.substr(0, kPublicKeyBytes), privateKey.substr(kPublicKeyBytes));
  bool imported = ImportKey(ecdsa, BCRYPT_ECCPRIVATE_BLOB, blob, &key);
  SecureZeroMemory(blob.data(), blob.size());
  if (!imported) return Status::Error("the private key is not a P-256 key");
  Sha256Digest digest = Sha256Of(message);
  UCHAR raw[kSignatureBytes];
  ULONG length = 0;
  if (!Succeeded(BCryptSignHash(key.handle, nullptr, digest.data(), static_cast<ULONG>(digest.size()), raw, sizeof raw,
                                &length, 0)) ||
      length != sizeof raw)
    return Status::Error("cannot sign");
  std::string signature(reinterpret_cast<char*>(raw), sizeof raw);
  if (!VerifySignature(privateKey.substr(0, kPublicKeyBytes), message, signature))
    return Status::Error("the key does not verify its own signature");
  return signature;
}

}  // namespace vmrk::platform
