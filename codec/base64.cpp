// Base64 encoder and decoder used by the compressed BITMAP output.
#include "codec/base64.h"

namespace {

const char sAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Six-bit value of an alphabet character, or -1. Works in signed character
// order so that bytes above 0x7F are rejected like any other stranger.
int sextetOf(char ch)
{
    const signed char c = static_cast<signed char>(ch);
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

unsigned base64_encode(const unsigned char* in, unsigned len, char* out)
{
    unsigned n = 0;
    unsigned state = 0;
    unsigned char prev = 0;
    for (unsigned i = 0; i < len; ++i) {
        const unsigned char c = in[i];
        if (state == 0) {
            out[n++] = sAlphabet[c >> 2];
        } else if (state == 1) {
            out[n++] = sAlphabet[((prev & 3) << 4) | (c >> 4)];
        } else {
            out[n++] = sAlphabet[((prev & 15) << 2) | (c >> 6)];
            out[n++] = sAlphabet[c & 63];
        }
        state = (state + 1) % 3;
        prev = c;
    }
    if (state == 1) {
        out[n++] = sAlphabet[(prev & 3) << 4];
        out[n++] = '=';
        out[n++] = '=';
    } else if (state == 2) {
        out[n++] = sAlphabet[(prev & 15) << 2];
        out[n++] = '=';
    }
    out[n] = '\0';
    return n;
}

unsigned base64_decode(const char* in, unsigned len, unsigned char* out)
{
    if (len % 4 != 0)
        return 0;
    unsigned n = 0;
    for (unsigned i = 0; i < len; ++i) {
        if (in[i] == '=')
            break;
        const int a = sextetOf(in[i]);
        if (a < 0)
            return 0;
        switch (i % 4) {
        case 0:
            out[n] = static_cast<unsigned char>(a << 2);
            break;
        case 1:
            out[n++] |= static_cast<unsigned char>(a >> 4);
            out[n] = static_cast<unsigned char>((a & 15) << 4);
            break;
        case 2:
            out[n++] |= static_cast<unsigned char>(a >> 2);
            out[n] = static_cast<unsigned char>((a & 3) << 6);
            break;
        default:
            out[n++] |= static_cast<unsigned char>(a);
            break;
        }
    }
    return n;
}
