// Base64 codec: known encodings, padding, malformed text and round trips.
#include "codec/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string encode(const std::string& bytes)
{
    std::vector<char> out(4 * ((bytes.size() + 2) / 3) + 1, '#');
    const unsigned n = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<unsigned>(bytes.size()), out.data());
    EXPECT_EQ(out[n], '\0');
    EXPECT_EQ(std::strlen(out.data()), n);
    return std::string(out.data(), n);
}

struct EncodeCase {
    std::string bytes;
    const char* text;
};

TEST(Base64Encode, KnownTexts)
{
    const EncodeCase cases[] = {
        {"", ""},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
        {"abcd", "YWJjZA=="},
        {"Man", "TWFu"},
        {"\xFB\xFF", "+/8="},
        {"\xFF\xFF\xFF", "////"},
        {std::string(4, '\0'), "AAAAAA=="},
    };
    for (const EncodeCase& c : cases)
        EXPECT_EQ(encode(c.bytes), c.text) << "bytes " << c.bytes;
}

struct DecodeCase {
    std::string text;
    unsigned result;
    std::string bytes; // the counted bytes only
};

TEST(Base64Decode, ResultsAndMalformedText)
{
    const DecodeCase cases[] = {
        {"YWJj", 3, "abc"},
        {"YWI=", 2, "ab"},
        {"YQ==", 1, "a"},
        {"", 0, ""},
        {"+/8=", 2, "\xFB\xFF"},
        // "=" ends decoding even when whole groups follow.
        {"YQ==YWJj", 1, "a"},
        {"YWJ", 0, ""},
        {"YWJjY", 0, ""},
        {"YW-j", 0, ""},
        {"YW j", 0, ""},
        {"YW[j", 0, ""},
        {"YW{j", 0, ""},
        {"YW\xC3\xA9", 0, ""},
    };
    for (const DecodeCase& c : cases) {
        unsigned char out[16] = {};
        const unsigned n = base64_decode(c.text.data(), static_cast<unsigned>(c.text.size()), out);
        EXPECT_EQ(n, c.result) << "text " << c.text;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.bytes) << "text " << c.text;
    }
}

TEST(Base64Decode, BadLengthWritesNothing)
{
    unsigned char out[8];
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(base64_decode("YWJjZ", 5, out), 0u);
    for (unsigned char b : out)
        EXPECT_EQ(b, 0x5A);
}

TEST(Base64Decode, StaysInsideItsOutputRoom)
{
    // Two full groups need exactly six bytes; the seventh must stay untouched.
    unsigned char out[7];
    std::memset(out, 0x5A, sizeof out);
    EXPECT_EQ(base64_decode("YWJjZGVm", 8, out), 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 6), "abcdef");
    EXPECT_EQ(out[6], 0x5A);
}

TEST(Base64RoundTrip, EveryByteValueAtEveryShortLength)
{
    for (unsigned len = 0; len <= 10; ++len) {
        for (unsigned first = 0; first < 256; ++first) {
            std::string bytes;
            for (unsigned i = 0; i < len; ++i)
                bytes.push_back(static_cast<char>((first + 97 * i) & 0xFF));
            const std::string text = encode(bytes);
            ASSERT_EQ(text.size(), 4 * ((len + 2) / 3));
            std::vector<unsigned char> out(text.size() / 4 * 3 + 1);
            const unsigned n = base64_decode(text.data(), static_cast<unsigned>(text.size()),
                                             out.data());
            ASSERT_EQ(n, len);
            ASSERT_EQ(std::string(reinterpret_cast<char*>(out.data()), n), bytes)
                << "len " << len << " first " << first;
        }
    }
}

} // namespace
