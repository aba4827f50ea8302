// Reading back a certificate the simulator's CertAuthority wrote.
#pragma once

#include <openssl/err.h>
#include <openssl/pem.h>

#include <string>

#include "cert_authority.h"

namespace zelsim {

// The first certificate of a PEM file; null when it cannot be read.
inline X509Ptr load_certificate(const std::string& path) {
  std::unique_ptr<BIO, decltype(&BIO_free_all)> in(BIO_new_file(path.c_str(), "r"), BIO_free_all);
  X509Ptr cert(in ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) ERR_clear_error();
  return cert;
}

}  // namespace zelsim
