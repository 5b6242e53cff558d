// Trusted keys, the manifest beside an image, and the lines that say what
// was found.
#include "ui/cli/trust.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "catalogue/catalogue.h"
#include "ui/cli/cli.h"
#include "ui/cli/files.h"

namespace quarn::cli {
namespace {

namespace fs = std::filesystem;

// Reads a regular file of at most limit bytes. Returns why not, or "";
// missing: set when there is no such file.
std::string ReadSmallFile(const std::string& path, size_t limit, std::string& text,
                          bool* missing = nullptr) {
  std::error_code ec;
  const fs::file_status s = fs::status(path, ec);
  if (s.type() == fs::file_type::not_found) {
    if (missing) *missing = true;
    return "no such file";
  }
  if (ec) return ec.message();
  if (s.type() != fs::file_type::regular) return "not a regular file";
  errno = 0;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return errno == EACCES || errno == EPERM ? "permission denied" : "it cannot be opened";
  text.assign(limit + 1, '\0');
  const size_t n = std::fread(text.data(), 1, text.size(), f);
  const bool failed = std::ferror(f);
  std::fclose(f);
  text.resize(n);
  if (failed) return "a read failed";
  if (n > limit) return "it is larger than " + std::to_string(limit) + " bytes";
  return "";
}

// Adds the key in pem; "" or what is wrong (where: the key's file).
std::string AddKey(const std::string& pem, const std::string& where, Trust& trust) {
  sign::PublicKey key;
  const std::string why = sign::ParsePublicKey(pem, key);
  if (!why.empty()) return "the trusted key " + where + " cannot be used: " + why;
  for (const sign::PublicKey& k : trust.keys)
    if (k.id == key.id) return "";
  if (trust.keys.size() >= kMaxTrustedKeys)
    return "more than " + std::to_string(kMaxTrustedKeys) + " keys are trusted (at " + where + ")";
  trust.keys.push_back(key);
  return "";
}

// 'path', built piece by piece: GCC 12 raises a -Wrestrict false alarm on "'" + name.
std::string Quoted(const std::string& path) {
  std::string q(1, '\'');
  q += Printable(path);
  q += '\'';
  return q;
}

std::string AddKeyFile(const std::string& path, Trust& trust) {
  std::string pem;
  const std::string why = ReadSmallFile(path, sign::kMaxKeyFile, pem);
  if (!why.empty()) return "cannot read the trusted key " + Quoted(path) + ": " + why;
  return AddKey(pem, Quoted(path), trust);
}

std::string AddKeyDirectory(const std::string& dir, Trust& trust) try {
  std::error_code ec;
  const fs::file_status s = fs::status(dir, ec);
  if (s.type() == fs::file_type::not_found) return "";  // no keys from there
  std::vector<std::string> files;
  fs::directory_iterator it(dir, ec);
  if (ec || s.type() != fs::file_type::directory)
    return "cannot read the key directory " + Quoted(dir) + ": " +
           (ec ? ec.message() : "not a directory");
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const std::string ext = name.size() > 4 ? name.substr(name.size() - 4) : "";
    if (ext == ".pem" || ext == ".pub") files.push_back(it->path().string());
    if (files.size() > kMaxTrustedKeys) break;
  }
  if (ec) return "cannot read the key directory " + Quoted(dir) + ": " + ec.message();
  std::sort(files.begin(), files.end());
  for (const std::string& f : files) {
    const std::string why = AddKeyFile(f, trust);
    if (!why.empty()) return why;
  }
  return "";
} catch (const std::exception& e) {  // a name the system cannot convert
  return "cannot read the key directory " + Quoted(dir) + ": " + e.what();
}

std::string Hex8(const std::string& sha) { return sha.substr(0, 8) + "..."; }

}  // namespace

std::vector<std::string> TrustedKeyDirectories() {
#ifdef QUARN_TEST_KEY_DIRS
#ifdef _WIN32
  const char separator = ';';
#else
  const char separator = ':';
#endif
  if (const char* list = std::getenv("QUARN_KEY_DIRS")) {
    std::vector<std::string> dirs;
    std::string s = list;
    for (size_t at = 0, end; at <= s.size(); at = end + 1) {
      end = std::min(s.find(separator, at), s.size());
      if (end > at) dirs.push_back(s.substr(at, end - at));
    }
    return dirs;
  }
#endif
  return KeyDirectories();
}

std::string LoadTrust(const std::string& releaseKey, const std::vector<std::string>& files,
                      Trust& trust) {
  if (!releaseKey.empty()) {
    const std::string why = AddKey(releaseKey, "built into this program", trust);
    if (!why.empty()) return why;
  }
  for (const std::string& dir : TrustedKeyDirectories()) {
    const std::string why = AddKeyDirectory(dir, trust);
    if (!why.empty()) return why;
  }
  for (const std::string& f : files) {
    const std::string why = AddKeyFile(f, trust);
    if (!why.empty()) return why;
  }
  return "";
}

sign::Verdict CheckSignature(const Image& image, const Trust& trust,
                             const std::string* builtinManifest) {
  const sign::ImageFacts facts{BaseName(image.name), image.row >= 0 ? plcList[image.row] : "",
                               image.fileSize, image.sha256};
  if (trust.keys.empty() || builtinManifest) {
    const bool none = !builtinManifest || builtinManifest->empty();
    return sign::Check(facts, none ? nullptr : builtinManifest, trust.keys);
  }
  std::string text;
  bool missing = false;
  const std::string why = ReadSmallFile(image.name + ".sig", sign::kMaxManifest, text, &missing);
  if (missing) return sign::Check(facts, nullptr, trust.keys);
  if (!why.empty()) {
    sign::Verdict v;
    v.status = sign::Status::Invalid;
    v.detail = why;
    return v;
  }
  return sign::Check(facts, &text, trust.keys);
}

const char* const kNotSignedLine =
    "quarn-burn: the image is not signed: no key is trusted here, so no signature is checked\n";

std::string RefusalLine(const sign::Verdict& v, const std::string& imageName, bool builtin) {
  const std::string image = Printable(imageName);
  const std::string manifest =
      builtin ? "the manifest built into this program" : "the manifest " + image + ".sig";
  const std::string key = sign::ShortId(v.keyId);
  std::string line;
  switch (v.status) {
    case sign::Status::Signed:
    case sign::Status::Unchecked: return "";
    case sign::Status::Unsigned:
      line = "quarn-burn: refused: " + image +
             " is not signed (no manifest beside it), and with a key trusted only signed images "
             "are written";
      break;
    case sign::Status::Invalid:
      line = "quarn-burn: refused: " + manifest + " cannot be read: " + v.detail;
      break;
    case sign::Status::UnknownKey:
      line = "quarn-burn: refused: " + image + " is signed by key " + key +
             ", which is not trusted here";
      break;
    case sign::Status::BadSignature:
      line = "quarn-burn: refused: " + manifest + " does not verify with key " + key +
             ": it was changed after it was signed";
      break;
    case sign::Status::Mismatch:
      if (v.field == "sha256")
        line = "quarn-burn: refused: the bytes of " + image + " are not those " + manifest +
               " was signed for (sha256 " + Hex8(v.signedValue) + " signed, " + Hex8(v.imageValue) +
               " read)";
      else
        line = "quarn-burn: refused: " + manifest + " was signed for another image: its " +
               v.field + " is " + Printable(v.signedValue) + ", this image's " +
               Printable(v.imageValue);
      break;
  }
  return line + "\n";
}

}  // namespace quarn::cli
