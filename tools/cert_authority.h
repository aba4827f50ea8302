// Certificates for the simulator, the tests and the benchmarks, made on the
// spot with the OpenSSL API: a private certificate authority and leaf
// certificates it signs, written as PEM files into a folder of the caller's.
//
// Nothing here touches the system trust store; a test that wants the agent to
// trust the private CA points the trust settings at ca_cert_path() (a file) or
// at a folder made by write_hashed_ca_dir() (a directory).
//
// Usage:
//
//   zelsim::TempDir dir;
//   zelsim::CertAuthority ca(dir.path());
//   zelsim::CertOptions opt;
//   opt.common_name = "broker.test";
//   opt.dns_names = {"broker.test"};
//   zelsim::CertFiles leaf = ca.issue(opt);
//   // serve with leaf.cert_path / leaf.key_path, trust ca.ca_cert_path()
//
// Generation throws std::runtime_error on any OpenSSL failure (tests treat
// that as a broken test, not as a result). Objects are not shared between
// threads; each test makes its own.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace zelsim {

struct X509Deleter {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct EvpPkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;

enum class KeyType {
  kEcP256,   // fast to make; served with the ECDHE-ECDSA suites
  kRsa2048,  // served with the ECDHE-RSA suites
};

// What a leaf certificate says about itself.
struct CertOptions {
  // File names are <name>.crt and <name>.key in the CA's folder.
  std::string name = "server";
  // Subject commonName; empty leaves the subject without a commonName.
  // May contain NUL bytes (std::string keeps them): the entry is then written
  // with its full length, as a forged certificate would be.
  std::string common_name = "localhost";
  // subjectAltName DNS entries, in order. Each may contain NUL bytes, which
  // are kept in the ASN.1 string. An empty list (and no ip_addresses) leaves
  // the certificate without the subjectAltName extension.
  std::vector<std::string> dns_names;
  // subjectAltName IP entries in dotted IPv4 or IPv6 text, after the DNS ones.
  std::vector<std::string> ip_addresses;
  // Validity: from now + not_before_days until that + valid_days. A negative
  // not_before_days with a small valid_days makes an expired certificate.
  int not_before_days = -1;
  int valid_days = 365;
  // Signed by its own key instead of the CA (a self-signed certificate).
  bool self_signed = false;
  // Signed by a second, throw-away CA whose certificate is written nowhere the
  // test would trust (an untrusted chain).
  bool untrusted_issuer = false;
  KeyType key_type = KeyType::kEcP256;
};

struct CertFiles {
  std::string cert_path;  // PEM certificate of the leaf
  std::string key_path;   // PEM private key (unencrypted PKCS#8)
  // PEM of the leaf followed by its issuer (the leaf alone when self-signed);
  // what a server sends as its chain.
  std::string chain_path;
};

// A private CA living in `folder`: its certificate is written at
// construction as <folder>/ca.crt (key <folder>/ca.key).
class CertAuthority {
 public:
  explicit CertAuthority(const std::string& folder, const std::string& ca_common_name = "Zel Test CA");
  ~CertAuthority();
  CertAuthority(const CertAuthority&) = delete;
  CertAuthority& operator=(const CertAuthority&) = delete;

  const std::string& folder() const { return folder_; }
  // PEM file holding only the CA certificate: the trust anchor to load.
  const std::string& ca_cert_path() const { return ca_cert_path_; }
  X509* ca_cert() const { return ca_cert_.get(); }

  // Makes a new key and certificate and writes them; see CertOptions.
  CertFiles issue(const CertOptions& options);

  // Makes a folder usable as a trust directory (OpenSSL's hashed layout,
  // <subject hash>.0 holding the CA certificate) and returns its path.
  std::string write_hashed_ca_dir(const std::string& subfolder = "cadir") const;

 private:
  std::string folder_;
  std::string ca_cert_path_;
  X509Ptr ca_cert_;
  EvpPkeyPtr ca_key_;
  long serial_ = 1;
};

// Reads the first certificate of a PEM file; null when it cannot be read.
X509Ptr load_certificate(const std::string& path);

}  // namespace zelsim
