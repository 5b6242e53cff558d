// Signed firmware images: the manifest beside an image, the public keys that
// are trusted to sign it, and the check that binds the two to the image's
// bytes. The parsing and the checks are portable; SHA-256 and the ECDSA
// P-256 verification come from the platform (libcrypto.cpp on Linux,
// bcrypt.cpp on Windows).
//
// A manifest, NAME.bin.sig, is ASCII text of lines ended by LF:
//
//   quarn firmware manifest 1
//   file: VN300_v1.14.10_20240103_01.bin
//   model: VN300
//   version: v1.14.10
//   size: 2076672
//   sha256: <64 lower-case hex digits: the image file's SHA-256>
//   key: <64 lower-case hex digits: the signing key's ID>
//   signature: <base64 of the DER ECDSA signature>
//
// The signature is ECDSA P-256 with SHA-256 over every byte before the
// "signature: " line; that line is the last. A key's ID is the SHA-256 of
// its DER SubjectPublicKeyInfo, shown as its first 16 hex digits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quarn {

// SHA-256 from the platform's own library.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const uint8_t* data, size_t n);
  // The digest; false when the platform failed. Call once (or hex, once).
  bool finish(uint8_t (&digest)[32]);
  // The digest in lower-case hex; "" when the platform failed.
  std::string hex();

 private:
  void* impl_;
};

namespace sign {

// The longest manifest and key file read.
constexpr size_t kMaxManifest = 4096;
constexpr size_t kMaxKeyFile = 16384;

// A P-256 public key.
struct PublicKey {
  std::vector<uint8_t> der;  // the 91 bytes of its SubjectPublicKeyInfo
  uint8_t point[64] = {};    // X then Y, big-endian
  std::string id;            // SHA-256 of der, 64 hex digits
};

// Reads a PEM "PUBLIC KEY" (SubjectPublicKeyInfo) of a P-256 key. Returns
// what is wrong with it, or "".
std::string ParsePublicKey(const std::string& pem, PublicKey& key);

// The first 16 hex digits of a key ID, as it is shown.
std::string ShortId(const std::string& id);

// An ECDSA signature, DER: SEQUENCE { INTEGER r, INTEGER s }, as r and s
// left-padded to 32 bytes each. False when der is not exactly that.
bool ParseDerSignature(const uint8_t* der, size_t n, uint8_t (&rs)[64]);

// Whether sig (DER, already accepted by ParseDerSignature; rs its r and s)
// is key's signature of SHA-256(data). Platform code.
bool VerifyP256(const PublicKey& key, const uint8_t* data, size_t n,
                const std::vector<uint8_t>& sig, const uint8_t (&rs)[64]);

struct Manifest {
  std::string file, model, version, sha256, keyId;
  uint64_t size = 0;
  std::string signedText;          // every byte before the signature line
  std::vector<uint8_t> signature;  // DER
  uint8_t rs[64] = {};
};

// Reads a manifest, strictly: the lines above, in that order, nothing
// else. Returns what is wrong with it, or "".
std::string ParseManifest(const std::string& text, Manifest& m);

// The manifest's text for an image, without its signature line: what a
// signer signs.
std::string ManifestText(const std::string& file, const std::string& model,
                         const std::string& version, uint64_t size, const std::string& sha256,
                         const std::string& keyId);

// The version an image name gives: the part after the model's '_' up to the
// next '_' or the final ".bin" ("v1.14.10" for VN300_v1.14.10_20240103_01.bin).
std::string VersionOfName(const std::string& baseName);

// How an image stands against the keys trusted.
enum class Status {
  Signed,        // its manifest is signed by a trusted key and matches it
  Unchecked,     // no key is trusted: nothing was checked
  Unsigned,      // no manifest
  Invalid,       // the manifest cannot be read
  UnknownKey,    // signed by a key that is not trusted
  BadSignature,  // the signature does not verify with the trusted key it names
  Mismatch,      // signed, but for another image: name, model, version, size or bytes
};

// The status as the records and the JSON outputs give it: "signed",
// "unchecked", "unsigned", "invalid", "unknown-key", "bad-signature", "mismatch".
const char* StatusName(Status s);

struct Verdict {
  Status status = Status::Unchecked;
  std::string keyId;  // the key the manifest names (64 hex digits), "" when unknown
  // Invalid: what is wrong. Mismatch: the field ("file", "model", "version",
  // "size", "sha256"), what the manifest says and what the image is.
  std::string detail, field, signedValue, imageValue;
  bool accepted() const { return status == Status::Signed || status == Status::Unchecked; }
};

// The facts of an image as it will be written.
struct ImageFacts {
  std::string name;  // the file's name, without directories
  std::string model;
  uint64_t size = 0;
  std::string sha256;  // of exactly the bytes that will be written
};

// Checks an image against its manifest (null: there is none) and the keys
// trusted. With no key trusted nothing is checked (Unchecked).
Verdict Check(const ImageFacts& image, const std::string* manifest,
              const std::vector<PublicKey>& trusted);

}  // namespace sign
}  // namespace quarn
