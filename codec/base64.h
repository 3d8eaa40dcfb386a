// Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks) for the
// compressed form of the TSPL BITMAP command.
#pragma once

// Writes 4 * ceil(len / 3) characters and a terminating NUL into out, which
// must hold at least that many bytes plus one. Returns the character count.
unsigned base64_encode(const unsigned char* in, unsigned len, char* out);

// Decodes len characters into out (len / 4 * 3 bytes of room). Decoding stops
// at the first "=". Returns the number of decoded bytes, or 0 when len is not
// a multiple of 4 or a character lies outside the alphabet.
unsigned base64_decode(const char* in, unsigned len, unsigned char* out);
