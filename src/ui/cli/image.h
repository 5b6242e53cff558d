// The firmware image of a run: the file named with --image, or the one
// built into the program; its model from its name; its SHA-256.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sign/signature.h"

namespace quarn::cli {

struct Trust;

struct Image {
  std::string name;  // the file's path, or the built-in image's name
  int row = -1;      // the catalogue row its name fixes
  const uint8_t* data = nullptr;
  uint32_t size = 0;           // what the session is given: at most one byte past the model's limit
  uint64_t fileSize = 0;       // what the file holds
  std::string sha256;          // of the whole file; "" unless asked for, when it failed, or for a
                               // file past the model's limit (not read to its end)
  std::vector<uint8_t> bytes;  // the file's bytes, where data points
  sign::Verdict signature;     // against the keys trusted (trust.h)
};

// Loads the image for catalogue row `row`: the file at path, or when path
// is empty the built-in one (builtin, builtinSize). The file must be a
// regular one; it is read once, at most one byte past the model's limit.
// withHash: compute its SHA-256. Returns what is wrong, or "".
std::string LoadImage(const std::string& path, int row, const uint8_t* builtin,
                      uint32_t builtinSize, bool withHash, Image& image);

// --check-image: checks the file's name, model, size and signature as a
// burn would and prints what a burn of it sends, opening no port. Exit
// status: 0 when a burn takes it, 1 when it refuses it (with the session's
// message or the refusal's line), 2 for a usage error. json: the same facts,
// or the refusal, as one JSON object on stdout.
int CheckImage(const std::string& path, const Trust& trust, bool json);

}  // namespace quarn::cli
