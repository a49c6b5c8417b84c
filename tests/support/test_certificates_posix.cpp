#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

#include "tests/support/test_certificates.h"

namespace vmrk::test {
namespace {

EVP_PKEY* NewKey() { return EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"); }

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) throw std::runtime_error("bad certificate extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for key, signed by issuerKey (itself when issuer is null).
X509* MakeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, long fromSeconds,
                      long toSeconds, const char* altNames, bool isCa) {
  static long serial = 1;
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), fromSeconds);
  X509_gmtime_adj(X509_getm_notAfter(cert), toSeconds);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer) : name);
  X509* signer = issuer != nullptr ? issuer : cert;
  if (isCa) {
    AddExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(cert, signer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert, signer, NID_ext_key_usage, "serverAuth");
    AddExtension(cert, signer, NID_subject_alt_name, altNames);
  }
  AddExtension(cert, signer, NID_subject_key_identifier, "hash");
  X509_sign(cert, issuerKey, EVP_sha256());
  return cert;
}

void WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  bool ok = cert != nullptr ? PEM_write_X509(f, cert) == 1
                            : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  std::fclose(f);
  if (!ok) throw std::runtime_error("cannot write " + path);
}

}  // namespace

TestCertificates MakeTestCertificates(const std::string& folder) {
  constexpr long kDay = 86400;
  const char* loopback = "IP:127.0.0.1,DNS:localhost";
  EVP_PKEY* caKey = NewKey();
  X509* ca = MakeCertificate(caKey, "vmrkxupdate test CA", nullptr, caKey, -kDay, 30 * kDay, nullptr, true);
  EVP_PKEY* strangerKey = NewKey();
  X509* stranger = MakeCertificate(strangerKey, "nobody's CA", nullptr, strangerKey, -kDay, 30 * kDay, nullptr, true);

  TestCertificates out;
  out.caFile = folder + "/ca.pem";
  WritePem(out.caFile, ca, nullptr);
  struct Made {
    TlsFiles* files;
    const char* name;
    X509* issuer;
    EVP_PKEY* issuerKey;
    long from, to;
    const char* altNames;
  } made[] = {
      {&out.good, "good", ca, caKey, -kDay, 30 * kDay, loopback},
      {&out.expired, "expired", ca, caKey, -30 * kDay, -kDay, loopback},
      {&out.otherHost, "otherhost", ca, caKey, -kDay, 30 * kDay, "DNS:update.example.com"},
      {&out.unknownCa, "unknownca", stranger, strangerKey, -kDay, 30 * kDay, loopback},
  };
  for (const Made& m : made) {
    EVP_PKEY* key = NewKey();
    X509* cert = MakeCertificate(key, m.name, m.issuer, m.issuerKey, m.from, m.to, m.altNames, false);
    m.files->certificate = folder + "/" + m.name + ".crt";
    m.files->key = folder + "/" + m.name + ".key";
    WritePem(m.files->certificate, cert, nullptr);
    WritePem(m.files->key, nullptr, key);
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  X509_free(ca);
  X509_free(stranger);
  EVP_PKEY_free(caKey);
  EVP_PKEY_free(strangerKey);
  return out;
}

}  // namespace vmrk::test
