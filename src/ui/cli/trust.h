// quarn-burn's trusted keys and the signature of the image of a run: where
// the keys come from, the manifest beside the image, and what is said of
// the verdict.
#pragma once
#include <string>
#include <vector>

#include "sign/signature.h"
#include "ui/cli/image.h"

namespace quarn::cli {

// At most this many keys are trusted at once.
constexpr size_t kMaxTrustedKeys = 64;

// The keys of a run: the program's own release key, every *.pem and *.pub
// file in the key directories (KeyDirectories()), then each --trust file.
struct Trust {
  std::vector<sign::PublicKey> keys;
};

// The key directories, in the order they are read: the platform's
// (files.h), or in a test build (QUARN_TEST_KEY_DIRS) the list in the
// environment variable QUARN_KEY_DIRS when it is set.
std::vector<std::string> TrustedKeyDirectories();

// Fills trust. releaseKey: the PEM built into the program ("" for none);
// files: the --trust files. Returns what is wrong (a key that cannot be
// read is never passed over: it could be the one that matters), or "".
std::string LoadTrust(const std::string& releaseKey, const std::vector<std::string>& files,
                      Trust& trust);

// The verdict on a loaded image (its SHA-256 computed): with a key trusted,
// against its manifest, the file beside it (image.name + ".sig") or, for the
// built-in image (builtinManifest not null), the manifest built in ("": none).
sign::Verdict CheckSignature(const Image& image, const Trust& trust,
                             const std::string* builtinManifest);

// The line that refuses an image whose verdict is not accepted, newline
// included (builtin: the manifest is the one built in); the line said of an
// image written with no key trusted.
std::string RefusalLine(const sign::Verdict& v, const std::string& imageName, bool builtin);
extern const char* const kNotSignedLine;

}  // namespace quarn::cli
