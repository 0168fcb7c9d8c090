#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "install/sha256.hpp"
#include "test_support.hpp"

namespace {

// Bytes that differ from one position to the next, so that a word read in the
// wrong byte order or from the wrong offset changes the digest.
std::string pattern(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 31 + 7) & 0xff);
    return bytes;
}

std::string to_hex(const uint8_t digest[SHA256_DIGEST_BYTES]) {
    char text[SHA256_HEX_SIZE];
    for (int i = 0; i < SHA256_DIGEST_BYTES; ++i)
        std::snprintf(text + 2 * i, sizeof text - 2 * i, "%02x", digest[i]);
    return text;
}

// Feeds the message in pieces of the given size (0: all at once).
std::string digest_of(const std::string& message, size_t piece = 0) {
    Sha256Context context;
    sha256_init(context);
    if (piece == 0) {
        sha256_update(context, message.data(), message.size());
    } else {
        for (size_t at = 0; at < message.size(); at += piece) {
            size_t n = message.size() - at < piece ? message.size() - at : piece;
            sha256_update(context, message.data() + at, n);
        }
    }
    uint8_t digest[SHA256_DIGEST_BYTES];
    sha256_final(context, digest);
    return to_hex(digest);
}

struct KnownDigest {
    const char* name;
    std::string message;
    const char* digest;
};

// Digests from an independent implementation (Python's hashlib).
const size_t KNOWN_COUNT = 16;

const KnownDigest& known(size_t i) {
    static const KnownDigest cases[KNOWN_COUNT] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"fips 448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"fips 896 bits",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"1 byte", pattern(1), "ca358758f6d27e6cf45272937977a748fd88391db679ceda7dc7bf1f005ee879"},
        {"55 bytes", pattern(55),
         "8aa994584139d128848eeebc4e815639ba5ab6e6e39574195a63ac4f14f7c43b"},
        {"56 bytes", pattern(56),
         "ad574708f75c044c9b85de64cb568ee7711ff4f36448c6242f053ba8f6cc2b63"},
        {"63 bytes", pattern(63),
         "280ed3e8ff1df845b2e7dfe6ac6cee817bef20e783cc65abc41b818b4d2fe076"},
        {"64 bytes", pattern(64),
         "c6ab9724ade5b6a7a1edfffb12f3aa9181351355af8fd08c919952ad211339dd"},
        {"65 bytes", pattern(65),
         "788367c73c7ddf4c53f65e68cc0d943e6227ab55b0e78ba63ace822b1c6301c0"},
        {"119 bytes", pattern(119),
         "3d610547d68216dedf7435a4fb6260353911f6b3fd3f18805ddb8be285d726fe"},
        {"120 bytes", pattern(120),
         "1f80156a804cb7862ad113e8200e9d74499723e7c7854d5f48776d3148e09656"},
        {"127 bytes", pattern(127),
         "192409cd280e14b743642ad1343fbd3e82d9305de72c078117745a679210cc3d"},
        {"128 bytes", pattern(128),
         "cc548ca2dec1f6fe4f58b2e27aa9c7521607df1130d140b55a4dad0665302356"},
        {"1000 bytes", pattern(1000),
         "5097e7d587352f5097062ae679f37bda5802d9f875aba14c8cb4d1a188ada179"},
        {"a million a", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    return cases[i];
}

// 3 MiB and 17 bytes: three full read buffers and a short fourth read.
const size_t LARGE_FILE_BYTES = 3 * 1048576 + 17;
const char LARGE_FILE_DIGEST[] = "27f3f0120d4a72b66e7b58152c631644bd689231ebd4487469b59226f1be13af";

class Sha256EngineTest : public testing::TestWithParam<Sha256Engine> {
protected:
    void SetUp() override {
        if (GetParam() == Sha256Engine::sha_ni && !sha256_cpu_has_sha_ni())
            GTEST_SKIP() << "this CPU has no SHA extensions";
        sha256_select_engine(GetParam());
    }
    void TearDown() override { sha256_select_engine(Sha256Engine::sha_ni); }
};

TEST_P(Sha256EngineTest, KnownDigestsAcrossThePaddingBoundaries) {
    for (size_t i = 0; i < KNOWN_COUNT; ++i) {
        const KnownDigest& c = known(i);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(digest_of(c.message), c.digest);
    }
}

TEST_P(Sha256EngineTest, TheSplitOfTheInputDoesNotMatter) {
    static const size_t PIECES[] = {1, 3, 55, 56, 63, 64, 65, 1000};
    for (size_t i = 0; i < KNOWN_COUNT; ++i) {
        const KnownDigest& c = known(i);
        if (c.message.size() > 100000) continue;  // the million is covered whole
        for (size_t piece : PIECES) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            EXPECT_EQ(digest_of(c.message, piece), c.digest);
        }
    }
}

TEST_P(Sha256EngineTest, AnEmptyUpdateChangesNothing) {
    Sha256Context context;
    sha256_init(context);
    sha256_update(context, "ab", 2);
    sha256_update(context, nullptr, 0);
    sha256_update(context, "c", 1);
    EXPECT_EQ(context.total, 3u);
    EXPECT_EQ(context.fill, 3u);
    uint8_t digest[SHA256_DIGEST_BYTES];
    sha256_final(context, digest);
    EXPECT_EQ(to_hex(digest), known(1).digest);
    EXPECT_EQ(context.total, 64u) << "total counts the padding as well";
    EXPECT_EQ(context.fill, 0u);
}

TEST_P(Sha256EngineTest, FileDigestsMatchTheWholeMessage) {
    TestDir dir;
    struct FileCase {
        const char* name;
        std::string bytes;
        const char* digest;
    };
    const FileCase cases[] = {
        {"empty", "", known(0).digest},
        {"55 bytes", pattern(55), known(5).digest},
        {"56 bytes", pattern(56), known(6).digest},
        {"64 bytes", pattern(64), known(8).digest},
        {"larger than the read buffer", pattern(LARGE_FILE_BYTES), LARGE_FILE_DIGEST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("installer.exe");
        write_file(path, c.bytes);
        char hex[SHA256_HEX_SIZE];
        sha256_file_hex(path.c_str(), hex);
        EXPECT_EQ(std::string(hex), c.digest);
        EXPECT_EQ(std::string(hex), digest_of(c.bytes));
    }
}

TEST_P(Sha256EngineTest, AFileThatCannotBeOpenedOrReadToItsEndGivesTheEmptyText) {
    TestDir dir;
    ASSERT_EQ(mkdir(dir.file("folder.exe").c_str(), 0700), 0);
    // A folder opens for reading but fails at the first read; so does the
    // process's own memory at address 0.
    const std::string paths[] = {dir.file("missing.exe"), dir.file("folder.exe"), "/proc/self/mem"};
    for (const auto& path : paths) {
        SCOPED_TRACE(path);
        char hex[SHA256_HEX_SIZE] = "not touched";
        sha256_file_hex(path.c_str(), hex);
        EXPECT_STREQ(hex, "");

        char shared[SHA256_HEX_SIZE] = "not touched";
        uint64_t size = 7;
        EXPECT_FALSE(sha256_file(path.c_str(), shared, size));
        EXPECT_STREQ(shared, "");
        EXPECT_EQ(size, 0u);
    }
}

TEST_P(Sha256EngineTest, TheSharedFileHashGivesTheDigestAndTheSize) {
    TestDir dir;
    static const size_t sizes[] = {0, 1, 64, HASH_READ_BUFFER_SIZE, HASH_READ_BUFFER_SIZE + 1};
    for (size_t n : sizes) {
        SCOPED_TRACE(std::to_string(n) + " bytes");
        const std::string bytes = pattern(n);
        const std::string path = dir.file("installer.exe");
        write_file(path, bytes);
        char hex[SHA256_HEX_SIZE] = "";
        uint64_t size = 12345;
        EXPECT_TRUE(sha256_file(path.c_str(), hex, size));
        EXPECT_EQ(size, n);
        EXPECT_EQ(std::string(hex), digest_of(bytes));
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256EngineTest,
                         testing::Values(Sha256Engine::portable, Sha256Engine::sha_ni),
                         [](const testing::TestParamInfo<Sha256Engine>& info) {
                             return info.param == Sha256Engine::portable ? "portable" : "sha_ni";
                         });

}  // namespace
