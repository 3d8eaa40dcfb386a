// Log line format, halftone names, base names and the bounded copy.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "printer/tavel_log.h"

namespace {

TEST(TavelLog, PrefixesEachLevelAndEndsTheLine)
{
    const struct {
        int level;
        const char* line;
    } cases[] = {{0, "DEBUG:PAGE: 1 2\n"},  {1, "DEBUG:PAGE: 1 2\n"},   {2, "WARN:PAGE: 1 2\n"},
                 {3, "ERROR:PAGE: 1 2\n"},  {4, "CRIT:PAGE: 1 2\n"},    {5, "INVALID:PAGE: 1 2\n"}};
    for (const auto& c : cases) {
        ::testing::internal::CaptureStderr();
        tavelLogCommon(c.level, "PAGE: %d %d", 1, 2);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.line);
    }
    ::testing::internal::CaptureStderr();
    tavelLogCommon(0, "header.HWResolution[0]:%d\n", 203);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "DEBUG:header.HWResolution[0]:203\n\n");
}

TEST(TavelLog, LinesBelowTheMinimumLevelAreDropped)
{
    tavelLogSetMinimumLevel(2);
    ::testing::internal::CaptureStderr();
    tavelLogCommon(0, "dropped %d", 0);
    tavelLogCommon(1, "dropped %d", 1);
    tavelLogCommon(2, "kept %d", 2);
    tavelLogCommon(3, "kept %d", 3);
    const std::string out = ::testing::internal::GetCapturedStderr();
    tavelLogSetMinimumLevel(0);
    EXPECT_EQ(out, "WARN:kept 2\nERROR:kept 3\n");
}

TEST(TavelLog, MessagesOfAnyLengthComeOutWhole)
{
    // Around the size of the line buffer and far beyond it.
    for (size_t length : {0, 1, 1000, 1015, 1016, 1017, 1018, 1023, 1024, 1025, 5000}) {
        const std::string message(length, 'x');
        ::testing::internal::CaptureStderr();
        tavelLogCommon(3, "%s|", message.c_str());
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ERROR:" + message + "|\n") << length;
    }
}

TEST(TavelLog, ALineIsOneWrite)
{
    // A packet socket keeps the boundaries of the writes: one line, one packet.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    std::fflush(stderr);
    const int saved = dup(2);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(pair[0], 2), 2);
    tavelLogCommon(0, "PAGE: %d %d", 1, 2);
    dup2(saved, 2);
    close(saved);
    char packet[256];
    const ssize_t got = recv(pair[1], packet, sizeof(packet), MSG_DONTWAIT);
    close(pair[0]);
    close(pair[1]);
    ASSERT_GT(got, 0);
    EXPECT_EQ(std::string(packet, static_cast<size_t>(got)), "DEBUG:PAGE: 1 2\n");
}

TEST(TavelLog, HalftoneNamesBothWays)
{
    const char* const names[] = {"None",   "FloydSteinberg", "Ordered",       "Burkes", "Stucki",
                                 "JarvisJudiceNinke", "Sierra", "StevensonArce", "Tattoo",
                                 "Tattoo_X8", "Auto"};
    for (int value = 0; value <= DITHER_AUTO; ++value) {
        EXPECT_STREQ(tavelHalftoneTypeToStr(value), names[value]);
        EXPECT_EQ(tavelHalftoneTypeFromStr(names[value]), value);
    }
    EXPECT_STREQ(tavelHalftoneTypeToStr(11), "None");
    EXPECT_EQ(tavelHalftoneTypeFromStr("auto"), 0);
    EXPECT_STREQ(tavelHalftoneTypeToStr(-1), "None");
    EXPECT_EQ(tavelHalftoneTypeFromStr("tattoo"), 0);
    EXPECT_EQ(tavelHalftoneTypeFromStr("Tattoo_x8"), 0);
    EXPECT_EQ(tavelHalftoneTypeFromStr(""), 0);
}

TEST(TavelLog, BasenameTakesTheLastSeparatorOfEitherKind)
{
    const struct {
        const char* path;
        const char* base;
    } cases[] = {{"/usr/lib/cups/filter/rastertotavel", "rastertotavel"},
                 {"C:\\cups/filter\\tavel", "tavel"},
                 {"dir\\sub/name", "name"},
                 {"rastertotavel", "rastertotavel"},
                 {"/usr/lib/", ""}};
    for (const auto& c : cases) {
        std::string path = c.path;
        char* base = tavelPathGetBasename(path.data());
        EXPECT_STREQ(base, c.base) << c.path;
        EXPECT_GE(base, path.data());
    }
    EXPECT_EQ(tavelPathGetBasename(nullptr), nullptr);
}

TEST(TavelLog, StrCpyAlwaysTerminates)
{
    char dest[6];
    std::memset(dest, 'x', sizeof(dest));
    tavelStrCpy(dest, "abcdefg", 4);
    EXPECT_EQ(std::string(dest, 4), std::string("abc\0", 4));
    EXPECT_EQ(dest[4], 'x');

    std::memset(dest, 'x', sizeof(dest));
    tavelStrCpy(dest, "ab", 4);
    EXPECT_EQ(std::string(dest, 5), std::string("ab\0\0x", 5));
}

}  // namespace
