// SHA-256 and ECDSA P-256 verification from OpenSSL's libcrypto (Linux).
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>

#include "sign/signature.h"

namespace quarn {

Sha256::Sha256() : impl_(EVP_MD_CTX_new()) {
  auto* ctx = static_cast<EVP_MD_CTX*>(impl_);
  if (ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    impl_ = nullptr;
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(impl_)); }

void Sha256::update(const uint8_t* data, size_t n) {
  auto* ctx = static_cast<EVP_MD_CTX*>(impl_);
  if (ctx && n > 0 && EVP_DigestUpdate(ctx, data, n) != 1) {
    EVP_MD_CTX_free(ctx);
    impl_ = nullptr;
  }
}

bool Sha256::finish(uint8_t (&digest)[32]) {
  auto* ctx = static_cast<EVP_MD_CTX*>(impl_);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!ctx || EVP_DigestFinal_ex(ctx, md, &len) != 1 || len != sizeof digest) return false;
  std::memcpy(digest, md, sizeof digest);
  return true;
}

namespace sign {

bool VerifyP256(const PublicKey& key, const uint8_t* data, size_t n,
                const std::vector<uint8_t>& sig, const uint8_t (&)[64]) {
  const unsigned char* p = key.der.data();
  EVP_PKEY* pkey = d2i_PUBKEY(nullptr, &p, static_cast<long>(key.der.size()));
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = pkey && ctx &&
                  EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, pkey) == 1 &&
                  EVP_DigestVerify(ctx, sig.data(), sig.size(), data, n) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(pkey);
  return ok;
}

}  // namespace sign
}  // namespace quarn
