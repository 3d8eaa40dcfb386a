// Table-driven Base64 decoding and exact-size zlib inflation for the previewer.
#include "tools/compressed_bitmap.h"

#include <zlib.h>

#include <array>
#include <cstdio>

namespace {

constexpr signed char kInvalid = -1;
constexpr signed char kPad = -2;

// Maps every byte value to its six-bit value, kPad for '=' or kInvalid.
std::array<signed char, 256> makeBase64Table()
{
    std::array<signed char, 256> table;
    table.fill(kInvalid);
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    table['='] = kPad;
    return table;
}

std::string describeByte(unsigned char byte, size_t offset)
{
    char text[64];
    std::snprintf(text, sizeof text, "invalid Base64 character 0x%02X at offset %zu", byte, offset);
    return text;
}

// Number of '=' that end a group ("xxx=" or "xx=="), or -1 when a '=' stands
// anywhere else.
int paddingOf(const signed char value[4])
{
    if (value[0] == kPad || value[1] == kPad)
        return -1;
    if (value[2] == kPad)
        return value[3] == kPad ? 2 : -1;
    return value[3] == kPad ? 1 : 0;
}

} // namespace

bool decodeBase64Text(const char* text, size_t length, std::vector<unsigned char>& bytes,
                      std::string& error)
{
    static const std::array<signed char, 256> sTable = makeBase64Table();
    if (length % 4 != 0) {
        error = "Base64 text length " + std::to_string(length) + " is not a multiple of 4";
        return false;
    }
    bytes.clear();
    bytes.reserve(length / 4 * 3);
    for (size_t group = 0; group < length; group += 4) {
        signed char value[4];
        for (size_t i = 0; i < 4; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[group + i]);
            value[i] = sTable[c];
            if (value[i] == kInvalid) {
                error = describeByte(c, group + i);
                return false;
            }
        }
        const int pads = paddingOf(value);
        if (pads < 0 || (pads > 0 && group + 4 != length)) {
            error = "misplaced Base64 padding in the group at offset " + std::to_string(group);
            return false;
        }
        unsigned long bits = 0;
        for (signed char v : value)
            bits = (bits << 6) | static_cast<unsigned long>(v == kPad ? 0 : v);
        const unsigned char decoded[3] = {static_cast<unsigned char>(bits >> 16),
                                          static_cast<unsigned char>(bits >> 8),
                                          static_cast<unsigned char>(bits)};
        bytes.insert(bytes.end(), decoded, decoded + 3 - pads);
    }
    return true;
}

bool inflateExactly(const std::vector<unsigned char>& stream, size_t expectedSize,
                    std::vector<unsigned char>& bytes, std::string& error)
{
    bytes.assign(expectedSize, 0);
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
        error = "zlib cannot start inflating";
        return false;
    }
    // An extra byte of room tells "too much data" apart from "exactly right".
    unsigned char overflow = 0;
    z.next_in = const_cast<unsigned char*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = bytes.data();
    z.avail_out = static_cast<uInt>(expectedSize);
    int result = inflate(&z, Z_FINISH);
    if (result == Z_BUF_ERROR && z.avail_out == 0) {
        z.next_out = &overflow;
        z.avail_out = 1;
        result = inflate(&z, Z_FINISH);
    }
    const size_t produced = z.total_out;
    const uInt unread = z.avail_in;
    const std::string message = z.msg ? z.msg : "";
    inflateEnd(&z);
    if (result == Z_DATA_ERROR || result == Z_NEED_DICT) {
        error = "zlib data error" + (message.empty() ? std::string() : ": " + message);
        return false;
    }
    if (produced > expectedSize) {
        error = "zlib data longer than the " + std::to_string(expectedSize) + " bytes of the bitmap";
        return false;
    }
    if (result != Z_STREAM_END) {
        error = "zlib stream truncated after " + std::to_string(produced) + " bytes";
        return false;
    }
    if (produced != expectedSize) {
        error = "zlib data hold " + std::to_string(produced) + " bytes, bitmap needs " +
                std::to_string(expectedSize);
        return false;
    }
    if (unread != 0) {
        error = std::to_string(unread) + " bytes follow the zlib stream";
        return false;
    }
    return true;
}
