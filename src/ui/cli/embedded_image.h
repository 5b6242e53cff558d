// The firmware image the build was given, and its file name (which fixes the
// model: the part before the first '_').
#pragma once

extern "C" const unsigned char quarn_image_begin[];
extern "C" const unsigned char quarn_image_end[];
extern const char* const quarn_image_name;
