// A test CA of the tests' own and server certificates made with it (OpenSSL's
// libcrypto, at test time), for TLS on loopback. Trusted only where a test
// adds ca.pem itself.
#pragma once

#include <string>

namespace vmrk::test {

struct TlsFiles {
  std::string certificate, key;  // PEM files
};

struct TestCertificates {
  std::string caFile;     // the test CA (PEM)
  TlsFiles good;          // 127.0.0.1 and localhost, valid now, from the test CA
  TlsFiles expired;       // the same names, expired yesterday
  TlsFiles otherHost;     // valid, from the test CA, for update.example.com only
  TlsFiles unknownCa;     // valid names and dates, from a CA nobody trusts
};

// Writes the files into folder (which must exist).
TestCertificates MakeTestCertificates(const std::string& folder);

}  // namespace vmrk::test
