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

// A small PKI for trust tests: a CA the client trusts and a rogue one, and server
// certificates that each break one rule. Server names are 127.0.0.1 and localhost unless
// said otherwise. Each pair is a PEM certificate file (with the chain it is served with) and
// its key.
struct TestPki {
  struct Pair {
    std::string cert, key;
  };
  std::string ca;        // the trusted CA
  std::string rogue_ca;  // an attacker's root
  Pair good;             // issued by ca
  Pair rogue_chain;      // issued by rogue_ca, served with rogue_ca after it
  Pair rogue_leaf;       // issued by rogue_ca, served alone
  Pair self_signed;      // its own issuer
  Pair other_host;       // issued by ca for other.example only
  Pair expired;          // issued by ca, expired yesterday
  Pair client;           // issued by ca for client authentication
  Pair rogue_client;     // issued by rogue_ca for client authentication
};
TestPki make_test_pki(const std::string &dir);

// A chain as public servers have it: root -> intermediate -> leaf, each leaf served with the
// intermediate after it (the client holds the root only).
struct ChainPki {
  std::string root;        // the trusted root
  std::string wrong_root;  // a root that issued nothing here
  TestPki::Pair leaf;      // 127.0.0.1 and localhost
  TestPki::Pair other;     // other.example only
};
ChainPki make_chain_pki(const std::string &dir);

}  // namespace ywstest
