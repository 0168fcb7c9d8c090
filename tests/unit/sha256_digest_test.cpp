#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "test_support.hpp"
#include "verify/sha256.hpp"
#include "verify/sha256_engines.hpp"

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

// 10007 bytes: whole blocks and a tail, long enough for many pieces of each size.
const size_t SPLIT_MESSAGE_BYTES = 10007;
const char SPLIT_MESSAGE_DIGEST[] =
    "6755b1ac9c0bc0545d7590a5644a963e9ecfb44ac38e3770a1adca30cfcae49a";

// The CPU flags that the kernel reports, from the first "flags" line of
// /proc/cpuinfo; false when there is no such file (not Linux).
bool read_kernel_cpu_flags(std::set<std::string>& flags) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.compare(0, 5, "flags") != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        std::string word;
        while (words >> word)
            flags.insert(word);
        return true;
    }
    return false;
}

// What the kernel says about each engine: the flags it needs. The kernel
// lists avx and avx2 only when it saves the YMM registers.
bool kernel_says_cpu_runs(const std::set<std::string>& flags, Sha256Engine engine) {
    switch (engine) {
        case Sha256Engine::portable:
            return true;
        case Sha256Engine::ssse3:
            return flags.count("ssse3") != 0;
        case Sha256Engine::avx2:
            return flags.count("avx") && flags.count("avx2") && flags.count("bmi1") &&
                   flags.count("bmi2");
        case Sha256Engine::sha_ni:
            return flags.count("sha_ni") && flags.count("ssse3") && flags.count("sse4_1");
    }
    return false;
}

const Sha256Engine ALL_ENGINES[] = {Sha256Engine::portable, Sha256Engine::ssse3, Sha256Engine::avx2,
                                    Sha256Engine::sha_ni};

std::string engine_name(Sha256Engine engine) {
    std::string name = sha256_engine_name(engine);
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
}

TEST(Sha256Detection, EachEngineIsAvailableExactlyWhenTheKernelListsItsFlags) {
    std::set<std::string> flags;
    if (!read_kernel_cpu_flags(flags)) GTEST_SKIP() << "no /proc/cpuinfo to compare with";
    for (Sha256Engine engine : ALL_ENGINES) {
        SCOPED_TRACE(sha256_engine_name(engine));
        EXPECT_EQ(sha256_cpu_runs(engine), kernel_says_cpu_runs(flags, engine));
    }
}

TEST(Sha256Detection, TheFirstUseTakesTheBestEngineInOrder) {
    std::set<std::string> flags;
    if (!read_kernel_cpu_flags(flags)) GTEST_SKIP() << "no /proc/cpuinfo to compare with";
    Sha256Engine expected = Sha256Engine::portable;
    for (Sha256Engine engine : {Sha256Engine::ssse3, Sha256Engine::avx2, Sha256Engine::sha_ni}) {
        if (kernel_says_cpu_runs(flags, engine)) expected = engine;
    }
    EXPECT_EQ(sha256_best_engine(), expected);
    EXPECT_EQ(sha256_engine_in_use(), expected);
}

TEST(Sha256Detection, AnEngineTheCpuLacksIsRefusedAndTheOneInUseStays) {
    ASSERT_TRUE(sha256_select_engine(Sha256Engine::portable));
    for (Sha256Engine engine : ALL_ENGINES) {
        SCOPED_TRACE(sha256_engine_name(engine));
        if (sha256_cpu_runs(engine)) continue;
        EXPECT_FALSE(sha256_select_engine(engine));
        EXPECT_EQ(sha256_engine_in_use(), Sha256Engine::portable);
    }
    ASSERT_TRUE(sha256_select_engine(sha256_best_engine()));
}

// The feature bits as the processor manuals number them, written out here
// rather than taken from the code under test.
constexpr uint32_t SSSE3 = 1u << 9, SSE4_1 = 1u << 19, OSXSAVE = 1u << 27, AVX = 1u << 28;
constexpr uint32_t BMI1 = 1u << 3, AVX2 = 1u << 5, BMI2 = 1u << 8, SHA = 1u << 29;
constexpr uint32_t ALL_LEAF1 = SSSE3 | SSE4_1 | OSXSAVE | AVX;
constexpr uint32_t ALL_LEAF7 = BMI1 | AVX2 | BMI2 | SHA;
constexpr uint64_t XCR0_X87_XMM_YMM = 0x7;

struct CpuCase {
    const char* what;
    CpuidWords cpu;
    bool runs[SHA256_ENGINE_COUNT];  // portable, ssse3, avx2, sha-ext
    Sha256Engine best;
};

TEST(Sha256Choice, EachEngineExactlyWhereTheCpuidAndXcr0WordsAllowIt) {
    using E = Sha256Engine;
    static const CpuCase CASES[] = {
        {"every feature", {7, ALL_LEAF1, ALL_LEAF7, XCR0_X87_XMM_YMM}, {1, 1, 1, 1}, E::sha_ni},
        {"AVX2 and BMI, no SHA (Haswell)",
         {13, ALL_LEAF1, BMI1 | AVX2 | BMI2, XCR0_X87_XMM_YMM},
         {1, 1, 1, 0},
         E::avx2},
        {"SHA without AVX (Goldmont)", {21, SSSE3 | SSE4_1, SHA, 0x3}, {1, 1, 0, 1}, E::sha_ni},
        {"no OSXSAVE: XCR0 cannot be read, whatever it holds",
         {7, SSSE3 | SSE4_1 | AVX, BMI1 | AVX2 | BMI2, XCR0_X87_XMM_YMM},
         {1, 1, 0, 0},
         E::ssse3},
        {"YMM not enabled in XCR0",
         {7, ALL_LEAF1, BMI1 | AVX2 | BMI2, 0x3},
         {1, 1, 0, 0},
         E::ssse3},
        {"XMM not enabled in XCR0",
         {7, ALL_LEAF1, BMI1 | AVX2 | BMI2, 0x5},
         {1, 1, 0, 0},
         E::ssse3},
        {"AVX2 without AVX",
         {7, SSSE3 | SSE4_1 | OSXSAVE, BMI1 | AVX2 | BMI2, 0x7},
         {1, 1, 0, 0},
         E::ssse3},
        {"AVX2 without BMI2", {7, ALL_LEAF1, BMI1 | AVX2, 0x7}, {1, 1, 0, 0}, E::ssse3},
        {"AVX2 without BMI1", {7, ALL_LEAF1, AVX2 | BMI2, 0x7}, {1, 1, 0, 0}, E::ssse3},
        {"BMI without AVX2", {7, ALL_LEAF1, BMI1 | BMI2, 0x7}, {1, 1, 0, 0}, E::ssse3},
        {"SHA without SSSE3 or SSE4.1", {7, 0, SHA, 0}, {1, 0, 0, 0}, E::portable},
        {"SHA without SSE4.1", {7, SSSE3, SHA, 0}, {1, 1, 0, 0}, E::ssse3},
        {"SHA without SSSE3", {7, SSE4_1, SHA, 0}, {1, 0, 0, 0}, E::portable},
        {"SSSE3 only (Conroe)", {10, SSSE3, 0, 0}, {1, 1, 0, 0}, E::ssse3},
        {"none of them", {13, 0, 0, 0}, {1, 0, 0, 0}, E::portable},
        {"leaf 7 beyond the highest leaf is not looked at",
         {6, ALL_LEAF1, ALL_LEAF7, XCR0_X87_XMM_YMM},
         {1, 1, 0, 0},
         E::ssse3},
        {"no leaf 1 either",
         {0, ALL_LEAF1, ALL_LEAF7, XCR0_X87_XMM_YMM},
         {1, 0, 0, 0},
         E::portable},
    };
    for (const CpuCase& c : CASES) {
        SCOPED_TRACE(c.what);
        for (Sha256Engine engine : ALL_ENGINES) {
            SCOPED_TRACE(sha256_engine_name(engine));
            EXPECT_EQ(sha256_engine_runs_on(engine, c.cpu), c.runs[static_cast<int>(engine)]);
        }
        EXPECT_EQ(sha256_engine_name(sha256_best_engine_on(c.cpu)),
                  std::string(sha256_engine_name(c.best)));
    }
}

// The names are what the publisher's tool accepts and prints.
TEST(Sha256Engines, EachHasItsNameAndAFormOfItsOwn) {
    static const char* const NAMES[] = {"portable", "ssse3", "avx2", "sha-ext"};
    std::set<Sha256Compress> forms;
    for (Sha256Engine engine : ALL_ENGINES) {
        SCOPED_TRACE(static_cast<int>(engine));
        EXPECT_STREQ(sha256_engine_name(engine), NAMES[static_cast<int>(engine)]);
        forms.insert(sha256_engine_compress(engine));
    }
    // Four functions: an engine that ran another's form (the portable one,
    // say) would still give every right digest. scripts/check-engines shows
    // each form's own instructions and which one a run executes.
    EXPECT_EQ(forms.size(), 4u);
}

class Sha256EngineTest : public testing::TestWithParam<Sha256Engine> {
protected:
    void SetUp() override {
        if (!sha256_cpu_runs(GetParam())) {
            // Only a CPU that really lacks the engine may skip it: when the
            // kernel lists its flags, the detection is wrong.
            std::set<std::string> flags;
            if (read_kernel_cpu_flags(flags) && kernel_says_cpu_runs(flags, GetParam()))
                FAIL() << "the kernel lists the flags of " << sha256_engine_name(GetParam())
                       << " but the detection says the CPU lacks them";
            GTEST_SKIP() << "this CPU cannot run " << sha256_engine_name(GetParam());
        }
        ASSERT_TRUE(sha256_select_engine(GetParam()));
        ASSERT_EQ(sha256_engine_in_use(), GetParam());
    }
    void TearDown() override { sha256_select_engine(sha256_best_engine()); }
};

// Random blocks and a random starting state through the engine itself, against
// the portable form: 1 to 9 blocks, so that the engines that work on two blocks
// at once meet both an even and an odd count.
TEST_P(Sha256EngineTest, CompressesLikeThePortableForm) {
    uint64_t x = 0x9e3779b97f4a7c15ull;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    uint8_t blocks[9 * 64];
    for (uint64_t count = 1; count <= 9; ++count) {
        SCOPED_TRACE(std::to_string(count) + " blocks");
        for (size_t i = 0; i < sizeof blocks; i += 8) {
            uint64_t word = next();
            std::memcpy(blocks + i, &word, 8);
        }
        uint32_t expected[8], actual[8];
        for (int i = 0; i < 8; ++i)
            expected[i] = actual[i] = static_cast<uint32_t>(next());
        sha256_engine_compress(Sha256Engine::portable)(expected, blocks, count);
        sha256_engine_compress(GetParam())(actual, blocks, count);
        for (int i = 0; i < 8; ++i) {
            SCOPED_TRACE("state word " + std::to_string(i));
            EXPECT_EQ(actual[i], expected[i]);
        }
    }
}

TEST_P(Sha256EngineTest, KnownDigestsAcrossThePaddingBoundaries) {
    for (size_t i = 0; i < KNOWN_COUNT; ++i) {
        const KnownDigest& c = known(i);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(digest_of(c.message), c.digest);
    }
}

TEST_P(Sha256EngineTest, TheSplitOfTheInputDoesNotMatter) {
    static const size_t PIECES[] = {1, 3, 55, 56, 63, 64, 65, 127, 128, 129, 1000};
    for (size_t i = 0; i < KNOWN_COUNT; ++i) {
        const KnownDigest& c = known(i);
        if (c.message.size() > 100000) continue;  // the million is covered whole
        for (size_t piece : PIECES) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            EXPECT_EQ(digest_of(c.message, piece), c.digest);
        }
    }
}

// Pieces of mixed sizes, so that whole blocks arrive with the block part
// filled, empty, or filled just before.
TEST_P(Sha256EngineTest, MixedPiecesGiveTheDigestOfTheWhole) {
    static const size_t SEQUENCES[][6] = {
        {1, 64, 127, 128, 129, 0},  {63, 130, 1, 256, 65, 0}, {64, 64, 192, 1, 63, 0},
        {200, 3, 640, 61, 1000, 0}, {5000, 1, 0, 0, 0, 0},    {129, 0, 0, 0, 0, 0},
    };
    const std::string message = pattern(SPLIT_MESSAGE_BYTES);
    for (const auto& sizes : SEQUENCES) {
        std::string trace = "pieces";
        for (size_t size : sizes)
            if (size != 0) trace += " " + std::to_string(size);
        SCOPED_TRACE(trace);
        Sha256Context context;
        sha256_init(context);
        size_t at = 0;
        for (int i = 0; at < message.size(); i = i == 5 || sizes[i + 1] == 0 ? 0 : i + 1) {
            size_t n = std::min(sizes[i], message.size() - at);
            sha256_update(context, message.data() + at, n);
            at += n;
        }
        EXPECT_EQ(context.total, message.size());
        EXPECT_EQ(context.fill, message.size() % 64);
        uint8_t digest[SHA256_DIGEST_BYTES];
        sha256_final(context, digest);
        EXPECT_EQ(to_hex(digest), SPLIT_MESSAGE_DIGEST);
    }
}

// After an update the block holds the last 64 bytes fed when it is full,
// wherever the whole blocks went.
TEST_P(Sha256EngineTest, TheBlockHoldsTheLastWholeBlockFed) {
    const std::string message = pattern(1000);
    static const size_t LENGTHS[] = {64, 128, 192, 640};
    for (size_t length : LENGTHS) {
        SCOPED_TRACE(std::to_string(length) + " bytes");
        Sha256Context context;
        sha256_init(context);
        sha256_update(context, message.data() + 3, length);
        EXPECT_EQ(context.fill, 0u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(context.block), 64),
                  message.substr(3 + length - 64, 64));
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
        const int descriptors = open_descriptors();
        sha256_file_hex(path.c_str(), hex);
        EXPECT_EQ(open_descriptors(), descriptors) << "the file is left open";
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
        const int descriptors = open_descriptors();
        char hex[SHA256_HEX_SIZE] = "not touched";
        sha256_file_hex(path.c_str(), hex);
        EXPECT_STREQ(hex, "");

        char shared[SHA256_HEX_SIZE] = "not touched";
        uint64_t size = 7;
        EXPECT_FALSE(sha256_file(path.c_str(), shared, size));
        EXPECT_STREQ(shared, "");
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(open_descriptors(), descriptors) << "a file that failed is left open";
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

INSTANTIATE_TEST_SUITE_P(Engines, Sha256EngineTest, testing::ValuesIn(ALL_ENGINES),
                         [](const testing::TestParamInfo<Sha256Engine>& info) {
                             return engine_name(info.param);
                         });

}  // namespace
