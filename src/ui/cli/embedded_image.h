// The firmware image the build was given, and its file name (which fixes the
// model: the part before the first '_').
#pragma once

extern "C" const unsigned char quarn_image_begin[];
extern "C" const unsigned char quarn_image_end[];
extern const char* const quarn_image_name;
// The release's manifest of that image and its public key (PEM); empty when
// the build was given none.
extern "C" const char quarn_manifest_begin[];
extern "C" const char quarn_manifest_end[];
extern "C" const char quarn_key_begin[];
extern "C" const char quarn_key_end[];
