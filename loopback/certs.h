// Throw-away X.509 material for TLS test servers.
#pragma once

#include <string>

namespace ywstest {

struct CertFiles {
  std::string cert;      // served certificate (PEM)
  std::string key;       // its private key (PEM)
  std::string ca;        // trust anchor that validates `cert`
  std::string other_ca;  // an unrelated CA: trusting only this must fail the handshake
};

// Writes the files into `dir`. Names in the certificate: CN and SAN 127.0.0.1 and localhost.
// Throws std::runtime_error on failure.
CertFiles make_cert_files(const std::string &dir, bool ca_signed);

}  // namespace ywstest
