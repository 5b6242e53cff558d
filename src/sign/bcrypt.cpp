// SHA-256 and ECDSA P-256 verification from CNG (BCrypt, Windows). BCrypt
// takes the public key as X and Y behind a BCRYPT_ECCKEY_BLOB header and the
// signature as r and s, 32 bytes each: signature.cpp cut both from their DER.
#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "sign/signature.h"

namespace quarn {
namespace {

struct Hash {
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
};

}  // namespace

Sha256::Sha256() : impl_(new Hash) {
  Hash& s = *static_cast<Hash*>(impl_);
  s.failed = BCryptOpenAlgorithmProvider(&s.alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
             BCryptCreateHash(s.alg, &s.hash, nullptr, 0, nullptr, 0, 0) != 0;
}

Sha256::~Sha256() {
  Hash* s = static_cast<Hash*>(impl_);
  if (s->hash) BCryptDestroyHash(s->hash);
  if (s->alg) BCryptCloseAlgorithmProvider(s->alg, 0);
  delete s;
}

void Sha256::update(const uint8_t* data, size_t n) {
  Hash& s = *static_cast<Hash*>(impl_);
  while (!s.failed && n > 0) {
    const ULONG chunk = n > 0x40000000 ? 0x40000000 : static_cast<ULONG>(n);
    s.failed = BCryptHashData(s.hash, const_cast<PUCHAR>(data), chunk, 0) != 0;
    data += chunk;
    n -= chunk;
  }
}

bool Sha256::finish(uint8_t (&digest)[32]) {
  Hash& s = *static_cast<Hash*>(impl_);
  if (s.failed || BCryptFinishHash(s.hash, digest, sizeof digest, 0) != 0) return false;
  s.failed = true;  // a finished hash takes no more data
  return true;
}

namespace sign {

bool VerifyP256(const PublicKey& key, const uint8_t* data, size_t n, const std::vector<uint8_t>&,
                const uint8_t (&rs)[64]) {
  uint8_t digest[32];
  Sha256 h;
  h.update(data, n);
  if (!h.finish(digest)) return false;
  struct {
    BCRYPT_ECCKEY_BLOB head;
    uint8_t xy[64];
  } blob;
  blob.head.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  blob.head.cbKey = 32;
  static_assert(sizeof blob == sizeof(BCRYPT_ECCKEY_BLOB) + 64);
  std::memcpy(blob.xy, key.point, sizeof blob.xy);
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_KEY_HANDLE k = nullptr;
  bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0 &&
            BCryptImportKeyPair(alg, nullptr, BCRYPT_ECCPUBLIC_BLOB, &k,
                                reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0) == 0;
  uint8_t sig[64];
  std::memcpy(sig, rs, sizeof sig);
  ok = ok && BCryptVerifySignature(k, nullptr, digest, sizeof digest, sig, sizeof sig, 0) == 0;
  if (k) BCryptDestroyKey(k);
  if (alg) BCryptCloseAlgorithmProvider(alg, 0);
  return ok;
}

}  // namespace sign
}  // namespace quarn
