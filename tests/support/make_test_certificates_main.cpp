// make_test_certificates FOLDER: the tests' CA and server certificates as
// files, for scripts (the Windows end-to-end run under Wine).
#include <cstdio>

#include "tests/support/test_certificates.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_test_certificates FOLDER\n");
    return 2;
  }
  vmrk::test::MakeTestCertificates(argv[1]);
  return 0;
}
