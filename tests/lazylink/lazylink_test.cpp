// Stubs that bind a library's functions on first use: every call reaches the
// real function with its arguments intact, the library loads only then, and
// a missing library or function stops the process with an ERROR line.
//
// The stubs here are generated for three of the libraries that the filter's
// libcups binds this way (gnutls, avahi-common, gssapi_krb5) and for a small
// probe library made for the test, whose functions take arguments in every
// way the calling convention passes them.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
const char* gnutls_check_version(const char* req);
const char* gnutls_strerror(int error);
int gnutls_hash_fast(int algorithm, const void* text, size_t textlen, void* digest);
const char* avahi_strerror(int error);

typedef uint32_t OM_uint32;
struct gss_buffer_desc {
    size_t length;
    void* value;
};
struct gss_OID_desc {
    OM_uint32 length;
    void* elements;
};
extern gss_OID_desc* GSS_C_NT_HOSTBASED_SERVICE;
OM_uint32 gss_import_name(OM_uint32* minor, gss_buffer_desc* in, gss_OID_desc* type, void** name);
OM_uint32 gss_canonicalize_name(OM_uint32* minor, void* name, gss_OID_desc* mech, void** out);
OM_uint32 gss_display_name(OM_uint32* minor, void* name, gss_buffer_desc* out, gss_OID_desc** type);
OM_uint32 gss_release_name(OM_uint32* minor, void** name);
OM_uint32 gss_release_buffer(OM_uint32* minor, gss_buffer_desc* buffer);

struct probe_big {
    long v[6];
};
double probe_mix(int a, double b, int c, double d, int e, double f, int g, double h, int i,
                 double j, int k, double l, int m, double n, int o, double p, int q, double r,
                 long s, double t);
double probe_vsum(int n, ...);
struct probe_big probe_big(long x);
int probe_which(void);
long probe_count(long add);
int probe_gone(void);
}

namespace {

const int kSha256 = 6;    // GNUTLS_DIG_SHA256
const int kAgain = -28;   // GNUTLS_E_AGAIN

bool mapped(const char* name)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(name) != std::string::npos)
            return true;
    return false;
}

// The real function, from the library the stub loaded; never loads anything.
template <typename F>
F real(const char* soname, const char* symbol, const char* version = nullptr)
{
    void* library = dlopen(soname, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr)
        return nullptr;
    void* address = version ? dlvsym(library, symbol, version) : dlsym(library, symbol);
    return reinterpret_cast<F>(address);
}

TEST(LazyBinding, GnutlsLoadsOnFirstCallAndAnswersAsItself)
{
    EXPECT_FALSE(mapped("libgnutls.so"));
    const char* version = gnutls_check_version(nullptr);
    EXPECT_TRUE(mapped("libgnutls.so"));
    auto checkVersion = real<const char* (*)(const char*)>("libgnutls.so.30", "gnutls_check_version");
    ASSERT_NE(checkVersion, nullptr);
    EXPECT_EQ(version, checkVersion(nullptr));
    EXPECT_EQ(gnutls_check_version("999.0.0"), nullptr);

    auto strerror = real<const char* (*)(int)>("libgnutls.so.30", "gnutls_strerror");
    ASSERT_NE(strerror, nullptr);
    EXPECT_EQ(gnutls_strerror(kAgain), strerror(kAgain));

    // Four arguments, one an output buffer: SHA-256 of "abc" (FIPS 180-2).
    const unsigned char expected[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea,
                                        0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
                                        0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c,
                                        0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    unsigned char digest[32] = {};
    EXPECT_EQ(gnutls_hash_fast(kSha256, "abc", 3, digest), 0);
    EXPECT_EQ(std::memcmp(digest, expected, 32), 0);
}

TEST(LazyBinding, AvahiLoadsOnlyTheLibraryCalled)
{
    EXPECT_FALSE(mapped("libavahi-common.so"));
    const char* ok = avahi_strerror(0);
    const char* failure = avahi_strerror(-1);
    auto strerror = real<const char* (*)(int)>("libavahi-common.so.3", "avahi_strerror");
    ASSERT_NE(strerror, nullptr);
    EXPECT_EQ(ok, strerror(0));
    EXPECT_EQ(failure, strerror(-1));
    EXPECT_NE(ok, failure);
    EXPECT_FALSE(mapped("libavahi-client.so"));
}

// libcups reads the host-based service name type before its first gss call,
// so the program holds a copy of its own. Kerberos must take the copy for the
// real name type and refuse an unknown one, or the copy proves nothing.
TEST(LazyBinding, LocalCopyOfTheGssNameTypeIsTheRealOne)
{
    EXPECT_FALSE(mapped("libgssapi_krb5.so"));
    OM_uint32 minor = 0;
    char service[] = "ipp@localhost";
    gss_buffer_desc in = {std::strlen(service), service};
    gss_OID_desc krb5 = {9, const_cast<char*>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02")};
    gss_OID_desc unknown = {3, const_cast<char*>("\x01\x02\x03")};

    void* name = nullptr;
    ASSERT_EQ(gss_import_name(&minor, &in, GSS_C_NT_HOSTBASED_SERVICE, &name), 0u);
    void* principal = nullptr;
    ASSERT_EQ(gss_canonicalize_name(&minor, name, &krb5, &principal), 0u);
    gss_buffer_desc shown = {0, nullptr};
    ASSERT_EQ(gss_display_name(&minor, principal, &shown, nullptr), 0u);
    EXPECT_EQ(std::string(static_cast<char*>(shown.value), shown.length).rfind("ipp/localhost@", 0), 0u);
    gss_release_buffer(&minor, &shown);
    gss_release_name(&minor, &principal);
    gss_release_name(&minor, &name);

    void* odd = nullptr;
    ASSERT_EQ(gss_import_name(&minor, &in, &unknown, &odd), 0u);
    EXPECT_EQ(gss_canonicalize_name(&minor, odd, &krb5, &principal), 3u << 16);  // bad name type
    gss_release_name(&minor, &odd);

    auto own = real<gss_OID_desc**>("libgssapi_krb5.so.2", "GSS_C_NT_HOSTBASED_SERVICE",
                                    "gssapi_krb5_2_MIT");
    ASSERT_NE(own, nullptr);
    EXPECT_NE(*own, GSS_C_NT_HOSTBASED_SERVICE);
    ASSERT_EQ((*own)->length, GSS_C_NT_HOSTBASED_SERVICE->length);
    EXPECT_EQ(std::memcmp((*own)->elements, GSS_C_NT_HOSTBASED_SERVICE->elements,
                          (*own)->length), 0);
}

// Each call below is the probe function's first, the one that goes through
// the resolver, which must leave every argument register as it found it.
TEST(LazyBinding, ArgumentsPassInEveryWayAcrossTheFirstCall)
{
    EXPECT_FALSE(mapped("liblazyprobe.so"));
    // Six integer and eight floating-point registers, the rest on the stack.
    const double mixed = probe_mix(1, 2.5, 3, 4.25, 5, 6.125, 7, 8.5, 9, 10.75, 11, 12.5, 13,
                                   14.25, 15, 16.5, 17, 18.75, 19L, 20.5);
    EXPECT_EQ(mixed, 1 * 1.0 + 2.5 * 2 + 3 * 3 + 4.25 * 4 + 5 * 5 + 6.125 * 6 + 7 * 7 +
                         8.5 * 8 + 9 * 9 + 10.75 * 10 + 11 * 11 + 12.5 * 12 + 13 * 13 +
                         14.25 * 14 + 15 * 15 + 16.5 * 16 + 17 * 17 + 18.75 * 18 + 19 * 19 +
                         20.5 * 20);
    // A variadic call, which also passes the count of vector registers.
    EXPECT_EQ(probe_vsum(5, 1.5, 2.5, 3.5, 4.5, 5.5), 1.5 + 2 * 2.5 + 3 * 3.5 + 4 * 4.5 + 5 * 5.5);
    // A large structure, returned through a hidden pointer argument.
    const struct probe_big big = probe_big(7);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(big.v[i], 7L * (i + 1));
    // The default version of a symbol with two, as a normal link binds it.
    EXPECT_EQ(probe_which(), 2);
}

TEST(LazyBinding, FirstCallRacedByManyThreadsResolvesOnce)
{
    const int threads = 8;
    std::vector<long> results(threads, 0);
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i)
        workers.emplace_back([&results, i]() { results[i] = probe_count(1); });
    for (std::thread& worker : workers)
        worker.join();
    std::vector<int> seen(threads + 1, 0);
    for (long r : results) {
        ASSERT_GE(r, 1);
        ASSERT_LE(r, threads);
        ++seen[r];
    }
    for (int r = 1; r <= threads; ++r)
        EXPECT_EQ(seen[r], 1) << r;
}

// The death tests run in a fresh process with the environment given here,
// so the library search there can be pointed elsewhere.
class LazyBindingFailure : public ::testing::Test {
protected:
    void SetUp() override { ::testing::FLAGS_gtest_death_test_style = "threadsafe"; }
};

TEST_F(LazyBindingFailure, MissingLibraryStopsWithAnErrorLine)
{
    const std::string saved = std::getenv("LD_LIBRARY_PATH") ? std::getenv("LD_LIBRARY_PATH") : "";
    setenv("LD_LIBRARY_PATH", "/nonexistent", 1);
    EXPECT_DEATH(probe_which(), "^ERROR: lazy binding: cannot load library for probe_which from liblazyprobe.so.1");
    setenv("LD_LIBRARY_PATH", saved.c_str(), 1);
}

TEST_F(LazyBindingFailure, MissingFunctionStopsWithAnErrorLine)
{
    const std::string saved = std::getenv("LD_LIBRARY_PATH") ? std::getenv("LD_LIBRARY_PATH") : "";
    setenv("LD_LIBRARY_PATH", PROBE_WITHOUT_GONE_DIR, 1);
    EXPECT_DEATH(probe_gone(), "^ERROR: lazy binding: cannot find function probe_gone");
    setenv("LD_LIBRARY_PATH", saved.c_str(), 1);
}

}  // namespace
