// The simulator's certificates, made on the spot with the OpenSSL API: a
// private certificate authority and the leaf certificates it signs, good ones
// and the faulty ones of --cloud-cert and --broker-cert (expired, for another
// name, from an unknown issuer, self-signed), written as PEM files into a
// folder of the caller's. Tests and benchmarks make theirs the same way.
//
// Nothing here touches the system trust store: the agent is pointed at
// ca_cert_path() (--ca-file) or at a folder made by write_hashed_ca_dir()
// (--ca-path).
//
// Usage:
//
//   zelsim::CertAuthority ca(folder);
//   zelsim::CertOptions opt;
//   opt.common_name = "broker.test";
//   opt.dns_names = {"broker.test"};
//   zelsim::CertFiles leaf = ca.issue(opt);
//   // serve leaf.chain_path with leaf.key_path, trust ca.ca_cert_path()
//
// Generation throws std::runtime_error on any OpenSSL failure. An object is
// used by one thread at a time.
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

// What a leaf certificate says about itself.
struct CertOptions {
  // File names are <name>.crt and <name>.key in the CA's folder.
  std::string name = "server";
  // Subject commonName; empty leaves the subject without a commonName. Names
  // are written with their full length, NUL bytes included.
  std::string common_name = "localhost";
  // subjectAltName DNS entries, in order. An empty list (and no
  // ip_addresses) leaves the certificate without the subjectAltName extension.
  std::vector<std::string> dns_names;
  // subjectAltName IP entries in dotted IPv4 or IPv6 text, after the DNS ones.
  std::vector<std::string> ip_addresses;
  // Validity: from now + not_before_days until that + valid_days. A negative
  // not_before_days with a small valid_days makes an expired certificate.
  int not_before_days = -1;
  int valid_days = 365;
  // Signed by its own key instead of the CA (a self-signed certificate).
  bool self_signed = false;
  // Signed by a second, throw-away CA whose certificate is written only into
  // the chain file (an issuer the agent does not know).
  bool untrusted_issuer = false;
};

struct CertFiles {
  std::string cert_path;  // PEM certificate of the leaf
  std::string key_path;   // PEM private key (unencrypted PKCS#8)
  // PEM of the leaf followed by its issuer (the leaf alone when self-signed);
  // what a server sends as its chain.
  std::string chain_path;
};

// A private CA living in `folder` (made when missing): its certificate is
// written at construction as <folder>/ca.crt (key <folder>/ca.key). Keys are
// EC P-256: quick to make.
class CertAuthority {
 public:
  explicit CertAuthority(const std::string& folder, const std::string& ca_common_name = "Zel Test CA");
  ~CertAuthority();
  CertAuthority(const CertAuthority&) = delete;
  CertAuthority& operator=(const CertAuthority&) = delete;

  // PEM file holding only the CA certificate: the trust anchor to load.
  const std::string& ca_cert_path() const { return ca_cert_path_; }

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

}  // namespace zelsim
