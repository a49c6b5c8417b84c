#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "platform/crypto.h"

namespace vmrk::platform {
namespace {

constexpr char kCurve[] = "prime256v1";

template <typename T, void (*Free)(T*)>
struct Owned {
  T* p = nullptr;
  Owned() = default;
  explicit Owned(T* x) : p(x) {}
  ~Owned() {
    if (p != nullptr) Free(p);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
};
using Pkey = Owned<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtx = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtx = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using Params = Owned<OSSL_PARAM, OSSL_PARAM_free>;
using ParamBuilder = Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Bignum = Owned<BIGNUM, BN_free>;
using EcdsaSig = Owned<ECDSA_SIG, ECDSA_SIG_free>;

const unsigned char* Bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// A key from its parts: the public point, and for signing the scalar too.
EVP_PKEY* MakeKey(std::string_view publicKey, std::string_view scalar) {
  if (publicKey.size() != kPublicKeyBytes || publicKey[0] != 0x04) return nullptr;
  ParamBuilder builder(OSSL_PARAM_BLD_new());
  Bignum d;
  if (builder.p == nullptr) return nullptr;
  OSSL_PARAM_BLD_push_utf8_string(builder.p, OSSL_PKEY_PARAM_GROUP_NAME, kCurve, 0);
  OSSL_PARAM_BLD_push_octet_string(builder.p, OSSL_PKEY_PARAM_PUB_KEY, publicKey.data(), publicKey.size());
  if (!scalar.empty()) {
    d.p = BN_bin2bn(Bytes(scalar), static_cast<int>(scalar.size()), nullptr);
    if (d.p == nullptr || !OSSL_PARAM_BLD_push_BN(builder.p, OSSL_PKEY_PARAM_PRIV_KEY, d.p)) return nullptr;
  }
  Params params(OSSL_PARAM_BLD_to_param(builder.p));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  if (params.p == nullptr || ctx.p == nullptr || EVP_PKEY_fromdata_init(ctx.p) <= 0 ||
      EVP_PKEY_fromdata(ctx.p, &key, scalar.empty() ? EVP_PKEY_PUBLIC_KEY : EVP_PKEY_KEYPAIR, params.p) <= 0)
    return nullptr;
  return key;
}

}  // namespace

struct Sha256::State {
  MdCtx ctx{EVP_MD_CTX_new()};
  void Start() { EVP_DigestInit_ex(ctx.p, EVP_sha256(), nullptr); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) { state_->Start(); }
Sha256::~Sha256() = default;

void Sha256::Update(std::string_view bytes) { EVP_DigestUpdate(state_->ctx.p, bytes.data(), bytes.size()); }

Sha256Digest Sha256::Finish() {
  Sha256Digest digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->ctx.p, digest.data(), &length);
  state_->Start();
  return digest;
}

bool VerifySignature(std::string_view publicKey, std::string_view message, std::string_view signature) {
  if (signature.size() != kSignatureBytes) return false;
  Pkey key(MakeKey(publicKey, {}));
  if (key.p == nullptr) return false;
  // OpenSSL takes the DER form; the wire form is r and s side by side.
  EcdsaSig sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(Bytes(signature), 32, nullptr);
  BIGNUM* s = BN_bin2bn(Bytes(signature) + 32, 32, nullptr);
  if (sig.p == nullptr || r == nullptr || s == nullptr || !ECDSA_SIG_set0(sig.p, r, s)) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  unsigned char* der = nullptr;
  int derLength = i2d_ECDSA_SIG(sig.p, &der);
  if (derLength <= 0) return false;
  MdCtx ctx(EVP_MD_CTX_new());
  bool valid = ctx.p != nullptr && EVP_DigestVerifyInit(ctx.p, nullptr, EVP_sha256(), nullptr, key.p) == 1 &&
               EVP_DigestVerify(ctx.p, der, static_cast<size_t>(derLength), Bytes(message), message.size()) == 1;
  OPENSSL_free(der);
  return valid;
}

Result<KeyPair> GenerateKey() {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (key.p == nullptr) return Status::Error("cannot generate a P-256 key");
  EVP_PKEY_set_utf8_string_param(key.p, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed");
  unsigned char point[kPublicKeyBytes];
  size_t pointLength = 0;
  BIGNUM* d = nullptr;
  if (EVP_PKEY_get_octet_string_param(key.p, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &pointLength) != 1 ||
      pointLength != kPublicKeyBytes || EVP_PKEY_get_bn_param(key.p, OSSL_PKEY_PARAM_PRIV_KEY, &d) != 1)
    return Status::Error("cannot read the generated key");
  Bignum scalar(d);
  unsigned char dBytes[32];
  if (BN_bn2binpad(scalar.p, dBytes, sizeof dBytes) != 32) return Status::Error("cannot read the generated key");
  KeyPair pair;
  pair.publicKey.assign(reinterpret_cast<char*>(point), pointLength);
  pair.privateKey = pair.publicKey + std::string(reinterpret_cast<char*>(dBytes), sizeof dBytes);
  OPENSSL_cleanse(dBytes, sizeof dBytes);
  return pair;
}

Result<std::string> Sign(std::string_view privateKey, std::string_view message) {
  if (privateKey.size() != kPrivateKeyBytes) return Status::Error("the private key is not 97 bytes");
  Pkey key(MakeKey(privateKey.substr(0, kPublicKeyBytes), privateKey.substr(kPublicKeyBytes)));
  if (key.p == nullptr) return Status::Error("the private key is not a P-256 key");
  MdCtx ctx(EVP_MD_CTX_new());
  size_t derLength = 0;
  if (ctx.p == nullptr || EVP_DigestSignInit(ctx.p, nullptr, EVP_sha256(), nullptr, key.p) != 1 ||
      EVP_DigestSign(ctx.p, nullptr, &derLength, Bytes(message), message.size()) != 1)
    return Status::Error("cannot sign");
  std::string der(derLength, '\0');
  if (EVP_DigestSign(ctx.p, reinterpret_cast<unsigned char*>(der.data()), &derLength, Bytes(message),
                     message.size()) != 1)
    return Status::Error("cannot sign");
  const unsigned char* p = Bytes(der);
  EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLength)));
  if (sig.p == nullptr) return Status::Error("cannot read the signature");
  unsigned char raw[kSignatureBytes];
  if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.p), raw, 32) != 32 || BN_bn2binpad(ECDSA_SIG_get0_s(sig.p), raw + 32, 32) != 32)
    return Status::Error("cannot read the signature");
  std::string signature(reinterpret_cast<char*>(raw), sizeof raw);
  // A signature that does not verify must never leave the maintainer's tool.
  if (!VerifySignature(privateKey.substr(0, kPublicKeyBytes), message, signature))
    return Status::Error("the key does not verify its own signature");
  return signature;
}

}  // namespace vmrk::platform
