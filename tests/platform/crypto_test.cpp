// The system's cryptography behind platform/crypto.h, against published
// answers: the same vectors pass on Linux (OpenSSL) and under Wine (CNG).
#include "platform/crypto.h"

#include <gtest/gtest.h>

#include "updatelist/hex_base64.h"

namespace vmrk {
namespace {

std::string Hex(const platform::Sha256Digest& d) {
  return ToHex(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
}
std::string Bytes(std::string_view hex) { return *FromHex(hex); }

TEST(Sha256, KnownAnswersWholeAndInPieces) {
  struct Case {
    std::string message, digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hex(platform::Sha256Of(c.message)), c.digest);
    platform::Sha256 pieces;
    for (size_t i = 0; i < c.message.size(); i += 4093) pieces.Update(std::string_view(c.message).substr(i, 4093));
    EXPECT_EQ(Hex(pieces.Finish()), c.digest);
    EXPECT_EQ(Hex(pieces.Finish()), Hex(platform::Sha256Of("")));  // starts over after Finish
  }
}

// RFC 6979, A.2.5: P-256 with SHA-256 (deterministic k, so the signatures
// are fixed answers any correct verifier accepts).
const std::string kPublic = Bytes(
    "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6"
    "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299");
const std::string kPrivate = kPublic + Bytes("c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721");

TEST(Ecdsa, PublishedSignaturesVerifyAndAnyChangeFails) {
  struct Case {
    std::string message, signature;
  } cases[] = {
      {"sample",
       "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716"
       "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8"},
      {"test",
       "f1abb023518351cd71d881567b1ea663ed3efcf6c5132b354f28d3b0b7d38367"
       "019f4113742a2b14bd25926b49c649155f267e60d3814b4c0cc84250e46f0083"},
  };
  for (const Case& c : cases) {
    std::string signature = Bytes(c.signature);
    EXPECT_TRUE(platform::VerifySignature(kPublic, c.message, signature)) << c.message;
    EXPECT_FALSE(platform::VerifySignature(kPublic, c.message + "!", signature));
    for (size_t at : {0u, 31u, 32u, 63u}) {
      std::string flipped = signature;
      flipped[at] = static_cast<char>(flipped[at] ^ 1);
      EXPECT_FALSE(platform::VerifySignature(kPublic, c.message, flipped)) << at;
    }
    std::string otherKey = kPublic;
    otherKey[64] = static_cast<char>(otherKey[64] ^ 1);  // no longer on the curve
    EXPECT_FALSE(platform::VerifySignature(otherKey, c.message, signature));
    EXPECT_FALSE(platform::VerifySignature(kPublic.substr(1), c.message, signature));
    EXPECT_FALSE(platform::VerifySignature(kPublic, c.message, signature.substr(0, 63)));
  }
}

TEST(Ecdsa, SignaturesAndNewKeysRoundTrip) {
  Result<std::string> signature = platform::Sign(kPrivate, "release 20261207153000");
  ASSERT_TRUE(signature.ok());
  EXPECT_EQ(signature->size(), platform::kSignatureBytes);
  EXPECT_TRUE(platform::VerifySignature(kPublic, "release 20261207153000", *signature));
  Result<platform::KeyPair> made = platform::GenerateKey();
  ASSERT_TRUE(made.ok());
  const std::string& privateKey = made->privateKey;
  const std::string& publicKey = made->publicKey;
  ASSERT_EQ(publicKey.size(), platform::kPublicKeyBytes);
  ASSERT_EQ(privateKey.size(), platform::kPrivateKeyBytes);
  EXPECT_EQ(privateKey.substr(0, publicKey.size()), publicKey);
  signature = platform::Sign(privateKey, "x");
  ASSERT_TRUE(signature.ok());
  EXPECT_TRUE(platform::VerifySignature(publicKey, "x", *signature));
  EXPECT_FALSE(platform::VerifySignature(kPublic, "x", *signature));
  // A private key whose public half is someone else's signs nothing.
  EXPECT_FALSE(platform::Sign(kPublic + privateKey.substr(platform::kPublicKeyBytes), "x").ok());
}

TEST(HexBase64, CanonicalFormsOnly) {
  EXPECT_EQ(ToHex("\x01\xab"), "01ab");
  EXPECT_EQ(FromHex("01ab"), std::string("\x01\xab"));
  for (const char* bad : {"1", "0G", "01AB", "0 1"}) EXPECT_FALSE(FromHex(bad)) << bad;
  for (std::string s : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) EXPECT_EQ(FromBase64(ToBase64(s)), s);
  EXPECT_EQ(ToBase64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(ToBase64("fo"), "Zm8=");
  for (const char* bad : {"Zm8", "Zm9=", "Zg==Zg==", "Z===", "Zm 8=", "Zm8=\n", "Zm-8"}) EXPECT_FALSE(FromBase64(bad)) << bad;
}

}  // namespace
}  // namespace vmrk
