// Certificate generation: keys, a private CA and leaf certificates, all made
// with the OpenSSL API and written as PEM.
#include "cert_authority.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace zelsim {
namespace {

constexpr long kSecondsPerDay = 86400;
constexpr int kX509Version3 = 2;  // the field counts from 0
constexpr int kCaValidDays = 3650;
constexpr mode_t kFolderMode = 0700;

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free_all(bio); }
};
struct X509ExtensionDeleter {
  void operator()(X509_EXTENSION* ext) const { X509_EXTENSION_free(ext); }
};
struct GeneralNamesDeleter {
  void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};
struct GeneralNameDeleter {
  void operator()(GENERAL_NAME* name) const { GENERAL_NAME_free(name); }
};
struct Asn1StringDeleter {
  void operator()(ASN1_STRING* str) const { ASN1_STRING_free(str); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, X509ExtensionDeleter>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, GeneralNamesDeleter>;
using GeneralNamePtr = std::unique_ptr<GENERAL_NAME, GeneralNameDeleter>;
using Asn1StringPtr = std::unique_ptr<ASN1_STRING, Asn1StringDeleter>;

[[noreturn]] void fail(const std::string& what) {
  char text[256] = "";
  unsigned long code = ERR_get_error();
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  throw std::runtime_error("certificates: " + what + (code ? std::string(": ") + text : ""));
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

EvpPkeyPtr make_key() {
  EvpPkeyPtr key(EVP_EC_gen("P-256"));
  check(key != nullptr, "key generation");
  return key;
}

void add_name_entry(X509_NAME* name, const char* field, const std::string& value) {
  check(X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(value.data()),
                                   static_cast<int>(value.size()), -1, 0) == 1,
        "subject name entry");
}

// Adds a configuration-text extension ("critical,CA:TRUE" and the like).
void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509ExtensionPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  check(ext != nullptr, "extension");
  check(X509_add_ext(cert, ext.get(), -1) == 1, "add extension");
}

void add_subject_alt_names(X509* cert, const CertOptions& options) {
  GeneralNamesPtr names(sk_GENERAL_NAME_new_null());
  check(names != nullptr, "subjectAltName list");
  for (const std::string& dns : options.dns_names) {
    GeneralNamePtr entry(GENERAL_NAME_new());
    Asn1StringPtr text(ASN1_IA5STRING_new());
    check(entry && text, "subjectAltName entry");
    // The full length is given so that embedded NUL bytes stay in the name.
    check(ASN1_STRING_set(text.get(), dns.data(), static_cast<int>(dns.size())) == 1,
          "subjectAltName text");
    GENERAL_NAME_set0_value(entry.get(), GEN_DNS, text.release());
    check(sk_GENERAL_NAME_push(names.get(), entry.get()) > 0, "subjectAltName push");
    entry.release();
  }
  for (const std::string& ip : options.ip_addresses) {
    GeneralNamePtr entry(GENERAL_NAME_new());
    ASN1_OCTET_STRING* address = a2i_IPADDRESS(ip.c_str());
    check(entry && address, "subjectAltName IP address");
    GENERAL_NAME_set0_value(entry.get(), GEN_IPADD, address);
    check(sk_GENERAL_NAME_push(names.get(), entry.get()) > 0, "subjectAltName push");
    entry.release();
  }
  check(X509_add1_ext_i2d(cert, NID_subject_alt_name, names.get(), 0, X509V3_ADD_DEFAULT) == 1,
        "subjectAltName extension");
}

X509Ptr new_certificate(long serial, EVP_PKEY* key, int not_before_days, int valid_days) {
  X509Ptr cert(X509_new());
  check(cert != nullptr, "X509_new");
  check(X509_set_version(cert.get(), kX509Version3) == 1, "version");
  check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) == 1, "serial");
  check(X509_time_adj_ex(X509_getm_notBefore(cert.get()), not_before_days, 0, nullptr) != nullptr,
        "notBefore");
  check(X509_time_adj_ex(X509_getm_notAfter(cert.get()), not_before_days + valid_days, 0,
                         nullptr) != nullptr,
        "notAfter");
  check(X509_set_pubkey(cert.get(), key) == 1, "public key");
  return cert;
}

struct CaPair {
  X509Ptr cert;
  EvpPkeyPtr key;
};

CaPair make_ca(const std::string& common_name, long serial) {
  CaPair ca;
  ca.key = make_key();
  ca.cert = new_certificate(serial, ca.key.get(), -1, kCaValidDays);
  X509_NAME* name = X509_get_subject_name(ca.cert.get());
  add_name_entry(name, "O", "Zel Test");
  add_name_entry(name, "CN", common_name);
  check(X509_set_issuer_name(ca.cert.get(), name) == 1, "CA issuer");
  add_extension(ca.cert.get(), ca.cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  add_extension(ca.cert.get(), ca.cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  add_extension(ca.cert.get(), ca.cert.get(), NID_subject_key_identifier, "hash");
  check(X509_sign(ca.cert.get(), ca.key.get(), EVP_sha256()) > 0, "CA signature");
  return ca;
}

void write_certs(const std::string& path, std::initializer_list<X509*> certs) {
  BioPtr out(BIO_new_file(path.c_str(), "w"));
  check(out != nullptr, ("open " + path).c_str());
  for (X509* cert : certs) check(PEM_write_bio_X509(out.get(), cert) == 1, "write certificate");
}

void write_key(const std::string& path, EVP_PKEY* key) {
  BioPtr out(BIO_new_file(path.c_str(), "w"));
  check(out != nullptr, ("open " + path).c_str());
  check(PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "write key");
}

}  // namespace

CertAuthority::CertAuthority(const std::string& folder, const std::string& ca_common_name) : folder_(folder) {
  if (::mkdir(folder_.c_str(), kFolderMode) != 0 && errno != EEXIST) {
    throw std::runtime_error("certificates: cannot create " + folder_);
  }
  CaPair ca = make_ca(ca_common_name, serial_++);
  ca_cert_ = std::move(ca.cert);
  ca_key_ = std::move(ca.key);
  ca_cert_path_ = folder_ + "/ca.crt";
  write_certs(ca_cert_path_, {ca_cert_.get()});
  write_key(folder_ + "/ca.key", ca_key_.get());
}

CertAuthority::~CertAuthority() = default;

CertFiles CertAuthority::issue(const CertOptions& options) {
  EvpPkeyPtr key = make_key();
  X509Ptr cert = new_certificate(serial_++, key.get(), options.not_before_days, options.valid_days);

  X509_NAME* subject = X509_get_subject_name(cert.get());
  add_name_entry(subject, "O", "Zel Test");
  if (!options.common_name.empty()) add_name_entry(subject, "CN", options.common_name);

  CaPair other;
  X509* issuer_cert = ca_cert_.get();
  EVP_PKEY* issuer_key = ca_key_.get();
  if (options.self_signed) {
    issuer_cert = cert.get();
    issuer_key = key.get();
  } else if (options.untrusted_issuer) {
    other = make_ca("Zel Untrusted CA", serial_++);
    issuer_cert = other.cert.get();
    issuer_key = other.key.get();
  }
  check(X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer_cert)) == 1, "issuer");
  add_extension(cert.get(), issuer_cert, NID_basic_constraints, "critical,CA:FALSE");
  add_extension(cert.get(), issuer_cert, NID_ext_key_usage, "serverAuth,clientAuth");
  if (!options.self_signed) {
    add_extension(cert.get(), issuer_cert, NID_authority_key_identifier, "keyid");
  }
  if (!options.dns_names.empty() || !options.ip_addresses.empty()) {
    add_subject_alt_names(cert.get(), options);
  }
  check(X509_sign(cert.get(), issuer_key, EVP_sha256()) > 0, "signature");

  CertFiles files;
  files.cert_path = folder_ + "/" + options.name + ".crt";
  files.key_path = folder_ + "/" + options.name + ".key";
  files.chain_path = folder_ + "/" + options.name + ".chain.crt";
  write_certs(files.cert_path, {cert.get()});
  write_key(files.key_path, key.get());
  if (options.self_signed) {
    write_certs(files.chain_path, {cert.get()});
  } else {
    write_certs(files.chain_path, {cert.get(), issuer_cert});
  }
  return files;
}

std::string CertAuthority::write_hashed_ca_dir(const std::string& subfolder) const {
  std::string dir = folder_ + "/" + subfolder;
  if (::mkdir(dir.c_str(), kFolderMode) != 0 && errno != EEXIST) {
    throw std::runtime_error("certificates: cannot create " + dir);
  }
  char hashed[32];
  std::snprintf(hashed, sizeof hashed, "%08lx.0", X509_subject_name_hash(ca_cert_.get()));
  write_certs(dir + "/" + hashed, {ca_cert_.get()});
  return dir;
}

}  // namespace zelsim
