// What a signed image brings from outside: its manifest, the trusted keys'
// PEM files, and the DER signature inside a manifest.
//
// Input: which parser, then its bytes.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz.h"
#include "sign/signature.h"

using namespace quarn::sign;

namespace {

// r and s as DER, as the one encoding a signature has.
std::vector<uint8_t> Der(const uint8_t (&rs)[64]) {
  std::vector<uint8_t> body;
  for (int half = 0; half < 2; ++half) {
    const uint8_t* v = rs + 32 * half;
    size_t skip = 0;
    while (skip < 31 && v[skip] == 0) ++skip;
    const bool sign = v[skip] & 0x80;
    body.push_back(0x02);
    body.push_back(static_cast<uint8_t>(32 - skip + sign));
    if (sign) body.push_back(0);
    body.insert(body.end(), v + skip, v + 32);
  }
  std::vector<uint8_t> der(body.size() + 2);
  der[0] = 0x30;
  der[1] = static_cast<uint8_t>(body.size());
  std::memcpy(der.data() + 2, body.data(), body.size());
  return der;
}

}  // namespace

int fuzz::Manifest(const uint8_t* data, size_t size) {
  Input in{data, size};
  const int which = in.byte() % 3;
  const std::string text = in.take(in.n);
  switch (which) {
    case 0: {  // a manifest: accepted only as the one text its fields make
      quarn::sign::Manifest m;
      if (!ParseManifest(text, m).empty()) break;
      FUZZ_CHECK(text.size() <= kMaxManifest);
      FUZZ_CHECK(m.signedText ==
                 ManifestText(m.file, m.model, m.version, m.size, m.sha256, m.keyId));
      FUZZ_CHECK(text.compare(0, m.signedText.size(), m.signedText) == 0);
      FUZZ_CHECK(text.compare(m.signedText.size(), 11, "signature: ") == 0);
      FUZZ_CHECK(m.file.find_first_of("/\\\n") == std::string::npos);
      FUZZ_CHECK(Der(m.rs) == m.signature);
      break;
    }
    case 1: {  // a key file
      PublicKey key;
      if (!ParsePublicKey(text, key).empty()) break;
      FUZZ_CHECK(key.der.size() == 91 && key.id.size() == 64);
      FUZZ_CHECK(std::memcmp(key.der.data() + 27, key.point, 64) == 0);
      break;
    }
    case 2: {  // a DER signature: one encoding of r and s
      uint8_t rs[64];
      const auto* der = reinterpret_cast<const uint8_t*>(text.data());
      if (ParseDerSignature(der, text.size(), rs))
        FUZZ_CHECK(Der(rs) == std::vector<uint8_t>(der, der + text.size()));
      break;
    }
  }
  return 0;
}
