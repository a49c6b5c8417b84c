// Signing keys for tests of signed releases: made fresh per process, never
// written anywhere but where a test puts them.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/crypto.h"

namespace vmrk::test {

struct KeyPair {
  std::string privateKey, publicKey;
  KeyPair() {
    Result<platform::KeyPair> made = platform::GenerateKey();
    EXPECT_TRUE(made.ok());
    if (made.ok()) {
      privateKey = made->privateKey;
      publicKey = made->publicKey;
    }
  }
};

// The maintainer's key: one per test process, as a real release has one.
inline const KeyPair& MaintainerKey() {
  static KeyPair key;
  return key;
}

}  // namespace vmrk::test
