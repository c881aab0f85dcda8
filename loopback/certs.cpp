#include "certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace ywstest {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509 *p) const { X509_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;

[[noreturn]] void fail(const char *what) {
  throw std::runtime_error(std::string("test certificate: ") + what);
}

// EC keys: RSA generation is slow under sanitizers.
Pkey new_key() {
  Pkey k(EVP_EC_gen("P-256"));
  if (!k) fail("key generation");
  return k;
}

void add_ext(X509 *cert, X509 *issuer, int nid, const char *value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) fail("extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

Cert new_cert(const char *cn, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuer_key, bool ca,
              long serial) {
  Cert c(X509_new());
  if (!c) fail("alloc");
  X509_set_version(c.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c.get()), serial);
  // Back-dated a day so clock skew between processes never matters.
  X509_gmtime_adj(X509_getm_notBefore(c.get()), -24L * 3600);
  X509_gmtime_adj(X509_getm_notAfter(c.get()), 3650L * 24 * 3600);
  X509_set_pubkey(c.get(), key);
  X509_NAME *name = X509_get_subject_name(c.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>("yws test"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(cn),
                             -1, -1, 0);
  X509 *iss = issuer ? issuer : c.get();
  X509_set_issuer_name(c.get(), X509_get_subject_name(iss));
  add_ext(c.get(), iss, NID_subject_key_identifier, "hash");
  if (ca) {
    add_ext(c.get(), iss, NID_basic_constraints, "critical,CA:TRUE");
    add_ext(c.get(), iss, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
  } else {
    add_ext(c.get(), iss, NID_basic_constraints, "critical,CA:FALSE");
    add_ext(c.get(), iss, NID_ext_key_usage, "serverAuth");
    // DNS:127.0.0.1 too: some host checks compare the literal against DNS names only.
    add_ext(c.get(), iss, NID_subject_alt_name, "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost");
  }
  if (issuer) add_ext(c.get(), iss, NID_authority_key_identifier, "keyid:always");
  if (!X509_sign(c.get(), issuer_key ? issuer_key : key, EVP_sha256())) fail("sign");
  return c;
}

void write_cert(const std::string &path, X509 *c) {
  FILE *f = std::fopen(path.c_str(), "w");
  if (!f) fail("open cert file");
  int ok = PEM_write_X509(f, c);
  std::fclose(f);
  if (!ok) fail("write cert");
}

void write_key(const std::string &path, EVP_PKEY *k) {
  FILE *f = std::fopen(path.c_str(), "w");
  if (!f) fail("open key file");
  int ok = PEM_write_PrivateKey(f, k, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  if (!ok) fail("write key");
}

}  // namespace

CertFiles make_cert_files(const std::string &dir, bool ca_signed) {
  CertFiles out;
  out.cert = dir + "/server.pem";
  out.key = dir + "/server.key";
  out.other_ca = dir + "/other-ca.pem";

  Pkey key = new_key();
  if (ca_signed) {
    Pkey ca_key = new_key();
    Cert ca = new_cert("yws test CA", ca_key.get(), nullptr, nullptr, true, 1);
    Cert leaf = new_cert("127.0.0.1", key.get(), ca.get(), ca_key.get(), false, 2);
    out.ca = dir + "/ca.pem";
    write_cert(out.ca, ca.get());
    write_cert(out.cert, leaf.get());
  } else {
    Cert self = new_cert("127.0.0.1", key.get(), nullptr, nullptr, false, 3);
    out.ca = out.cert;
    write_cert(out.cert, self.get());
  }
  write_key(out.key, key.get());

  Pkey other_key = new_key();
  Cert other = new_cert("yws unrelated CA", other_key.get(), nullptr, nullptr, true, 4);
  write_cert(out.other_ca, other.get());
  return out;
}

}  // namespace ywstest
