// The portable half of signed images: PEM and DER of keys and signatures,
// the manifest, and the check of an image against it.
#include "sign/signature.h"

#include <cstring>

namespace quarn {

std::string Sha256::hex() {
  uint8_t digest[32];
  if (!finish(digest)) return "";
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : digest) {
    s += digits[b >> 4];
    s += digits[b & 0x0F];
  }
  return s;
}

namespace sign {
namespace {

// The SubjectPublicKeyInfo of every P-256 key with an uncompressed point, up
// to the point's X and Y: SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 },
// BIT STRING { 0x04 X Y } }. DER has one encoding of it, so the key is these
// 27 bytes and 64 more, exactly.
const uint8_t kP256Prefix[27] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                 0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard base64 with its padding, nothing else; false on anything else.
bool Base64Decode(const std::string& s, std::vector<uint8_t>& out) {
  out.clear();
  if (s.empty() || s.size() % 4 != 0) return false;
  for (size_t i = 0; i < s.size(); i += 4) {
    const bool last = i + 4 == s.size();
    const int pad = last ? (s[i + 3] == '=') + (s[i + 2] == '=' && s[i + 3] == '=') : 0;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const int d = k >= 4 - pad ? 0 : Base64Value(s[i + k]);
      if (d < 0) return false;
      v = v << 6 | static_cast<uint32_t>(d);
    }
    out.push_back(static_cast<uint8_t>(v >> 16));
    if (pad < 2) out.push_back(static_cast<uint8_t>(v >> 8));
    if (pad < 1) out.push_back(static_cast<uint8_t>(v));
    // The bits the padding leaves over must be 0 (one encoding per value).
    if ((pad == 1 && (v & 0xFF)) || (pad == 2 && (v & 0xFFFF))) return false;
  }
  return true;
}

bool IsHex64(const std::string& s) {
  if (s.size() != 64) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// One INTEGER of a signature at der[at..end): positive, minimal, at most 32
// bytes of value, not 0; its value right-aligned into out[32].
bool TakeInteger(const uint8_t* der, size_t& at, size_t end, uint8_t* out) {
  if (end - at < 2 || der[at] != 0x02) return false;
  size_t len = der[at + 1];
  at += 2;
  if (len < 1 || len > 33 || len > end - at) return false;
  const uint8_t* v = der + at;
  at += len;
  if (v[0] & 0x80) return false;                             // negative
  if (len > 1 && v[0] == 0 && !(v[1] & 0x80)) return false;  // not minimal
  if (v[0] == 0) {
    ++v;
    --len;
  }
  if (len > 32) return false;
  std::memset(out, 0, 32);
  std::memcpy(out + 32 - len, v, len);
  for (size_t i = 0; i < 32; ++i)
    if (out[i]) return true;
  return false;
}

// "name: value" at text[at..), the line ended by LF. Returns what is wrong, or "".
std::string TakeField(const std::string& text, size_t& at, const char* name, std::string& value) {
  const std::string lead = std::string(name) + ": ";
  if (text.compare(at, lead.size(), lead) != 0)
    return "'" + lead + "...' expected at byte " + std::to_string(at);
  const size_t nl = text.find('\n', at);
  if (nl == std::string::npos) return "the " + std::string(name) + " line has no end";
  value = text.substr(at + lead.size(), nl - at - lead.size());
  at = nl + 1;
  if (value.empty()) return "the " + std::string(name) + " line is empty";
  return "";
}

}  // namespace

std::string ParsePublicKey(const std::string& pem, PublicKey& key) {
  const std::string begin = "-----BEGIN PUBLIC KEY-----", end = "-----END PUBLIC KEY-----";
  if (pem.size() > kMaxKeyFile) return "it is larger than a public key";
  const size_t b = pem.find(begin);
  if (b == std::string::npos) {
    if (pem.find("PRIVATE KEY-----") != std::string::npos)
      return "it holds a private key, which must never be given to this tool";
    return "no '" + begin + "' line";
  }
  const size_t e = pem.find(end, b);
  if (e == std::string::npos) return "no '" + end + "' line";
  std::string body;
  for (size_t i = b + begin.size(); i < e; ++i)
    if (pem[i] != '\n' && pem[i] != '\r') body += pem[i];
  std::vector<uint8_t> der;
  if (!Base64Decode(body, der)) return "its base64 is damaged";
  if (der.size() != sizeof kP256Prefix + 64 ||
      std::memcmp(der.data(), kP256Prefix, sizeof kP256Prefix) != 0)
    return "it is not an ECDSA P-256 public key";
  key.der = der;
  std::memcpy(key.point, der.data() + sizeof kP256Prefix, 64);
  Sha256 h;
  h.update(der.data(), der.size());
  key.id = h.hex();
  if (key.id.empty()) return "its ID could not be computed (SHA-256 failed)";
  return "";
}

std::string ShortId(const std::string& id) { return id.substr(0, 16); }

bool ParseDerSignature(const uint8_t* der, size_t n, uint8_t (&rs)[64]) {
  // SEQUENCE of at most 2 * 35 bytes: its length fits one byte below 0x80.
  if (n < 8 || der[0] != 0x30 || der[1] >= 0x80 || size_t{der[1]} + 2 != n) return false;
  size_t at = 2;
  return TakeInteger(der, at, n, rs) && TakeInteger(der, at, n, rs + 32) && at == n;
}

std::string ManifestText(const std::string& file, const std::string& model,
                         const std::string& version, uint64_t size, const std::string& sha256,
                         const std::string& keyId) {
  return "quarn firmware manifest 1\nfile: " + file + "\nmodel: " + model +
         "\nversion: " + version + "\nsize: " + std::to_string(size) + "\nsha256: " + sha256 +
         "\nkey: " + keyId + "\n";
}

std::string VersionOfName(const std::string& baseName) {
  const size_t start = baseName.find('_');
  if (start == std::string::npos) return "";
  std::string rest = baseName.substr(start + 1);
  if (rest.size() >= 4) {
    std::string tail = rest.substr(rest.size() - 4);
    for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (tail == ".bin") rest.resize(rest.size() - 4);
  }
  return rest.substr(0, rest.find('_'));
}

std::string ParseManifest(const std::string& text, Manifest& m) {
  if (text.size() > kMaxManifest) return "it is larger than a manifest";
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r')
      return "its lines end in CR LF (a copy that changed its line ends); use the file as released";
    if ((c < 0x20 && c != '\n') || c > 0x7E)
      return "it holds a byte that is not printable ASCII (at byte " + std::to_string(i) + ")";
  }
  const std::string head = "quarn firmware manifest 1\n";
  if (text.compare(0, head.size(), head) != 0)
    return "it does not start with '" + head.substr(0, head.size() - 1) + "'";
  size_t at = head.size();
  std::string size, sig;
  const struct {
    const char* name;
    std::string* value;
  } fields[] = {{"file", &m.file}, {"model", &m.model},   {"version", &m.version},
                {"size", &size},   {"sha256", &m.sha256}, {"key", &m.keyId}};
  for (const auto& f : fields) {
    const std::string why = TakeField(text, at, f.name, *f.value);
    if (!why.empty()) return why;
  }
  m.signedText = text.substr(0, at);
  const std::string lead = "signature: ";
  if (text.compare(at, lead.size(), lead) != 0)
    return "'signature: ...' expected at byte " + std::to_string(at);
  sig = text.substr(at + lead.size());
  if (!sig.empty() && sig.back() == '\n') sig.pop_back();  // the last line's end is optional
  if (sig.find('\n') != std::string::npos) return "there is more after the signature line";
  if (m.file.find_first_of("/\\") != std::string::npos) return "the file line names a directory";
  if (size.size() > 10 || size.find_first_not_of("0123456789") != std::string::npos ||
      (size.size() > 1 && size[0] == '0'))
    return "the size is not a number of bytes";
  m.size = std::stoull(size);
  if (!IsHex64(m.sha256)) return "the sha256 is not 64 lower-case hex digits";
  if (!IsHex64(m.keyId)) return "the key is not 64 lower-case hex digits";
  if (sig.size() > 96 || !Base64Decode(sig, m.signature) ||
      !ParseDerSignature(m.signature.data(), m.signature.size(), m.rs))
    return "the signature is not an ECDSA signature in base64 DER";
  return "";
}

const char* StatusName(Status s) {
  switch (s) {
    case Status::Signed: return "signed";
    case Status::Unchecked: return "unchecked";
    case Status::Unsigned: return "unsigned";
    case Status::Invalid: return "invalid";
    case Status::UnknownKey: return "unknown-key";
    case Status::BadSignature: return "bad-signature";
    case Status::Mismatch: return "mismatch";
  }
  return "";
}

Verdict Check(const ImageFacts& image, const std::string* manifest,
              const std::vector<PublicKey>& trusted) {
  Verdict v;
  if (trusted.empty()) return v;
  if (!manifest) {
    v.status = Status::Unsigned;
    return v;
  }
  Manifest m;
  v.detail = ParseManifest(*manifest, m);
  if (!v.detail.empty()) {
    v.status = Status::Invalid;
    return v;
  }
  v.keyId = m.keyId;
  const PublicKey* key = nullptr;
  for (const PublicKey& k : trusted)
    if (k.id == m.keyId) key = &k;
  if (!key) {
    v.status = Status::UnknownKey;
    return v;
  }
  if (!VerifyP256(*key, reinterpret_cast<const uint8_t*>(m.signedText.data()), m.signedText.size(),
                  m.signature, m.rs)) {
    v.status = Status::BadSignature;
    return v;
  }
  // Signed: every fact the tool acts on must be the image's.
  const std::string size = std::to_string(image.size);
  const struct {
    const char* field;
    const std::string& signedValue;
    std::string imageValue;
  } facts[] = {
      {"file", m.file, image.name},
      {"model", m.model, image.model},
      {"version", m.version, VersionOfName(image.name)},
      {"size", std::to_string(m.size), size},
      {"sha256", m.sha256, image.sha256.empty() ? "unknown (SHA-256 failed)" : image.sha256}};
  for (const auto& f : facts) {
    if (f.signedValue == f.imageValue) continue;
    v.status = Status::Mismatch;
    v.field = f.field;
    v.signedValue = f.signedValue;
    v.imageValue = f.imageValue;
    return v;
  }
  v.status = Status::Signed;
  return v;
}

}  // namespace sign
}  // namespace quarn
