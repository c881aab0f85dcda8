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

struct CertFields {
  const char *cn;
  bool ca = false;
  const char *san = "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost";
  const char *usage = "serverAuth";
  long not_before_s = -24L * 3600;  // back-dated a day so clock skew never matters
  long not_after_s = 3650L * 24 * 3600;
};

Cert make_cert(const CertFields &fields, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuer_key,
               long serial) {
  Cert c(X509_new());
  if (!c) fail("alloc");
  X509_set_version(c.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(c.get()), fields.not_before_s);
  X509_gmtime_adj(X509_getm_notAfter(c.get()), fields.not_after_s);
  X509_set_pubkey(c.get(), key);
  X509_NAME *name = X509_get_subject_name(c.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>("yws test"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>(fields.cn), -1, -1, 0);
  X509 *iss = issuer ? issuer : c.get();
  X509_set_issuer_name(c.get(), X509_get_subject_name(iss));
  add_ext(c.get(), iss, NID_subject_key_identifier, "hash");
  if (fields.ca) {
    add_ext(c.get(), iss, NID_basic_constraints, "critical,CA:TRUE");
    add_ext(c.get(), iss, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
  } else {
    add_ext(c.get(), iss, NID_basic_constraints, "critical,CA:FALSE");
    add_ext(c.get(), iss, NID_ext_key_usage, fields.usage);
    // DNS:127.0.0.1 too: some host checks compare the literal against DNS names only.
    if (fields.san) add_ext(c.get(), iss, NID_subject_alt_name, fields.san);
  }
  if (issuer) add_ext(c.get(), iss, NID_authority_key_identifier, "keyid:always");
  if (!X509_sign(c.get(), issuer_key ? issuer_key : key, EVP_sha256())) fail("sign");
  return c;
}

Cert new_cert(const char *cn, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuer_key, bool ca,
              long serial) {
  CertFields fields;
  fields.cn = cn;
  fields.ca = ca;
  return make_cert(fields, key, issuer, issuer_key, serial);
}

void put_cert(const std::string &path, X509 *c, const char *mode) {
  FILE *f = std::fopen(path.c_str(), mode);
  if (!f) fail("open cert file");
  int ok = PEM_write_X509(f, c);
  std::fclose(f);
  if (!ok) fail("write cert");
}

void write_cert(const std::string &path, X509 *c) {
  put_cert(path, c, "w");
}

void append_cert(const std::string &path, X509 *c) {
  put_cert(path, c, "a");
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

TestPki make_test_pki(const std::string &dir) {
  TestPki p;
  auto path = [&](const char *name) { return dir + "/" + name; };
  Pkey ca_key = new_key(), rogue_key = new_key();
  Cert ca = new_cert("yws test CA", ca_key.get(), nullptr, nullptr, true, 10);
  Cert rogue = new_cert("yws rogue CA", rogue_key.get(), nullptr, nullptr, true, 11);
  p.ca = path("pki-ca.pem");
  p.rogue_ca = path("pki-rogue-ca.pem");
  write_cert(p.ca, ca.get());
  write_cert(p.rogue_ca, rogue.get());

  long serial = 20;
  auto leaf = [&](const char *stem, CertFields fields, X509 *issuer, EVP_PKEY *issuer_key,
                  X509 *chain_extra) {
    Pkey k = new_key();
    Cert c = make_cert(fields, k.get(), issuer, issuer_key, serial++);
    TestPki::Pair out{path((std::string(stem) + ".pem").c_str()),
                      path((std::string(stem) + ".key").c_str())};
    write_cert(out.cert, c.get());
    if (chain_extra) append_cert(out.cert, chain_extra);
    write_key(out.key, k.get());
    return out;
  };
  CertFields server;
  server.cn = "127.0.0.1";
  p.good = leaf("pki-good", server, ca.get(), ca_key.get(), nullptr);
  p.rogue_chain = leaf("pki-rogue-chain", server, rogue.get(), rogue_key.get(), rogue.get());
  p.rogue_leaf = leaf("pki-rogue-leaf", server, rogue.get(), rogue_key.get(), nullptr);
  p.self_signed = leaf("pki-self", server, nullptr, nullptr, nullptr);
  CertFields other = server;
  other.cn = "other.example";
  other.san = "DNS:other.example";
  p.other_host = leaf("pki-other-host", other, ca.get(), ca_key.get(), nullptr);
  CertFields expired = server;
  expired.not_before_s = -30L * 24 * 3600;
  expired.not_after_s = -24L * 3600;
  p.expired = leaf("pki-expired", expired, ca.get(), ca_key.get(), nullptr);
  CertFields client;
  client.cn = "yws test client";
  client.san = nullptr;
  client.usage = "clientAuth";
  p.client = leaf("pki-client", client, ca.get(), ca_key.get(), nullptr);
  p.rogue_client = leaf("pki-rogue-client", client, rogue.get(), rogue_key.get(), nullptr);
  return p;
}

ChainPki make_chain_pki(const std::string &dir) {
  ChainPki p;
  auto path = [&](const char *name) { return dir + "/" + name; };
  Pkey root_key = new_key(), mid_key = new_key(), wrong_key = new_key();
  Cert root = new_cert("yws chain root", root_key.get(), nullptr, nullptr, true, 40);
  Cert mid =
      new_cert("yws chain intermediate", mid_key.get(), root.get(), root_key.get(), true, 41);
  Cert wrong = new_cert("yws wrong root", wrong_key.get(), nullptr, nullptr, true, 42);
  p.root = path("chain-root.pem");
  p.wrong_root = path("chain-wrong-root.pem");
  write_cert(p.root, root.get());
  write_cert(p.wrong_root, wrong.get());
  long serial = 43;
  auto leaf = [&](const char *stem, const CertFields &fields) {
    Pkey k = new_key();
    Cert c = make_cert(fields, k.get(), mid.get(), mid_key.get(), serial++);
    TestPki::Pair out{path((std::string(stem) + ".pem").c_str()),
                      path((std::string(stem) + ".key").c_str())};
    write_cert(out.cert, c.get());
    append_cert(out.cert, mid.get());
    write_key(out.key, k.get());
    return out;
  };
  CertFields server;
  server.cn = "127.0.0.1";
  p.leaf = leaf("chain-leaf", server);
  CertFields other = server;
  other.cn = "other.example";
  other.san = "DNS:other.example";
  p.other = leaf("chain-other", other);
  return p;
}

}  // namespace ywstest
