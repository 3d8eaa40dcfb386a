// Unpacking of compressed BITMAP data (mode 6): Base64 text of a zlib stream.
// Written apart from the filter's encoder so that the previewer can catch its
// faults instead of sharing them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Decodes strict Base64 text: a multiple of four characters, padding only at
// the very end. On failure returns false and names the problem in error.
bool decodeBase64Text(const char* text, size_t length, std::vector<unsigned char>& bytes,
                      std::string& error);

// Inflates one complete zlib stream that must hold exactly expectedSize bytes
// and nothing after it.
bool inflateExactly(const std::vector<unsigned char>& stream, size_t expectedSize,
                    std::vector<unsigned char>& bytes, std::string& error);
