#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "manifest/manifest.hpp"

namespace {

const std::string DIGEST = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string UPPER_DIGEST = "0123456789ABCDEF0123456789ABCDEF0123456789abcdefABCDEFabcdef0000";
const std::string NAME = "Trevalon-setup-0.7.19.exe";
constexpr uint64_t MAX_U64 = 18446744073709551615ull;

std::string lines(const std::string& version, const std::string& name, const std::string& size,
                  const std::string& digest, const std::string& eol = "\n") {
    return version + eol + name + eol + size + eol + digest + eol;
}
std::string example(const std::string& eol = "\n") {
    return lines("v0.7.19", NAME, "20140875", DIGEST, eol);
}

// parse_manifest works in place, so each call gets its own writable copy.
bool parse(const std::string& body, ReleaseRecord& release, const char** reason = nullptr) {
    std::string copy = body;
    return parse_manifest(&copy[0], release, reason);
}

struct Accepted {
    const char* name;
    std::string body;
    const char* version;
    const char* file_name;
    uint64_t size;
    std::string sha256;
};

TEST(ParseManifest, AcceptsAndStoresTheFieldsAsWritten) {
    static const Accepted cases[] = {
        {"LF", example(), "0.7.19", NAME.c_str(), 20140875, DIGEST},
        {"CR LF", example("\r\n"), "0.7.19", NAME.c_str(), 20140875, DIGEST},
        {"trailing spaces and CRs in any mix",
         "v0.7.19 \r \r\n" + NAME + "  \n20140875\r\r\r\n" + DIGEST + " \r \n", "0.7.19",
         NAME.c_str(), 20140875, DIGEST},
        {"no final line end", "v0.7.19\n" + NAME + "\n20140875\n" + DIGEST, "0.7.19", NAME.c_str(),
         20140875, DIGEST},
        {"spaces at the end of the text", "v0.7.19\n" + NAME + "\n20140875\n" + DIGEST + "   ",
         "0.7.19", NAME.c_str(), 20140875, DIGEST},
        {"lines after the fourth are ignored",
         example() + "\xEF\xBB\xBF not a manifest\n\n../../x y\r\n" + std::string(3900, '#'),
         "0.7.19", NAME.c_str(), 20140875, DIGEST},
        {"NUL after the 64 digits",
         "v0.7.19\n" + NAME + "\n20140875\n" + DIGEST + std::string("\0zz", 3), "0.7.19",
         NAME.c_str(), 20140875, DIGEST},
        {"upper-case digest kept", lines("v1", NAME, "1", UPPER_DIGEST), "1", NAME.c_str(), 1,
         UPPER_DIGEST},
        {"no leading v", lines("0.7.19", NAME, "20140875", DIGEST), "0.7.19", NAME.c_str(),
         20140875, DIGEST},
        {"V removed", lines("V1.2", NAME, "5", DIGEST), "1.2", NAME.c_str(), 5, DIGEST},
        {"only one v removed", lines("vv1.2", NAME, "5", DIGEST), "v1.2", NAME.c_str(), 5, DIGEST},
        {"16 characters", lines("1234567890.-_abc", NAME, "5", DIGEST), "1234567890.-_abc",
         NAME.c_str(), 5, DIGEST},
        {"17 characters after v", lines("v1234567890123456", NAME, "5", DIGEST), "1234567890123456",
         NAME.c_str(), 5, DIGEST},
        {"a.exe", lines("1", "a.exe", "5", DIGEST), "1", "a.exe", 5, DIGEST},
        {"SETUP.EXE as written", lines("1", "SETUP.EXE", "5", DIGEST), "1", "SETUP.EXE", 5, DIGEST},
        {"single dots", lines("1", ".a.b.c.Exe", "5", DIGEST), "1", ".a.b.c.Exe", 5, DIGEST},
        {"96-character name", lines("1", std::string(92, 'n') + ".exe", "5", DIGEST), "1",
         "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"
         "nnn"
         ".exe",
         5, DIGEST},
        {"size with trailing spaces", lines("1", NAME, "20140875   ", DIGEST), "1", NAME.c_str(),
         20140875, DIGEST},
        {"size with leading spaces", lines("1", NAME, "   7", DIGEST), "1", NAME.c_str(), 7,
         DIGEST},
        {"size with a leading tab", lines("1", NAME, "\t7", DIGEST), "1", NAME.c_str(), 7, DIGEST},
        {"+12", lines("1", NAME, "+12", DIGEST), "1", NAME.c_str(), 12, DIGEST},
        {"0012", lines("1", NAME, "0012", DIGEST), "1", NAME.c_str(), 12, DIGEST},
        {"blanks, plus and zeros together",
         lines("1", NAME, " \t+000000000000000000000012 ", DIGEST), "1", NAME.c_str(), 12, DIGEST},
        {"2^64 - 1", lines("1", NAME, "18446744073709551615", DIGEST), "1", NAME.c_str(), MAX_U64,
         DIGEST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReleaseRecord release;
        std::memset(&release, 'x', sizeof release);
        ASSERT_TRUE(parse(c.body, release));
        EXPECT_STREQ(release.version, c.version);
        EXPECT_STREQ(release.file_name, c.file_name);
        EXPECT_EQ(release.size, c.size);
        EXPECT_EQ(std::string(release.sha256, sizeof release.sha256), c.sha256 + '\0');
    }
}

struct Rejected {
    const char* name;
    std::string body;
    const char* reason;  // the line the rejection names
};

TEST(ParseManifest, RejectsAndLeavesTheRecordUntouched) {
    static const Rejected cases[] = {
        {"three lines with a final LF", "v1\n" + NAME + "\n5\n", "line 4"},
        {"three lines without one", "v1\n" + NAME + "\n5", "fewer than four lines"},
        {"empty body", "", "fewer than four lines"},
        {"blank line first", "\n" + example(), "line 1"},
        {"blank line between", "v1\n\n" + NAME + "\n5\n" + DIGEST + "\n", "line 2"},
        {"CR-only line ends", example("\r"), "fewer than four lines"},
        {"byte-order mark", "\xEF\xBB\xBF" + example(), "line 1"},
        {"NUL inside the digest",
         "v1\n" + NAME + "\n5\n" + DIGEST.substr(0, 63) + std::string("\0", 1) + "f\n", "line 4"},
        {"NUL inside the name", "v1\nTrev" + std::string("\0", 1) + "alon.exe\n5\n" + DIGEST + "\n",
         "fewer than four lines"},
        {"version v alone", lines("v", NAME, "5", DIGEST), "line 1"},
        {"version empty", lines("", NAME, "5", DIGEST), "line 1"},
        {"version of 17", lines("12345678901234567", NAME, "5", DIGEST), "line 1"},
        {"version with a space", lines("1.2 beta", NAME, "5", DIGEST), "line 1"},
        {"version with a plus", lines("1.2+3", NAME, "5", DIGEST), "line 1"},
        {"version with a leading space", lines(" 1.2", NAME, "5", DIGEST), "line 1"},
        {"version with a slash", lines("1/2", NAME, "5", DIGEST), "line 1"},
        {".exe alone", lines("1", ".exe", "5", DIGEST), "line 2"},
        {"exe without the dot", lines("1", "setupexe", "5", DIGEST), "line 2"},
        {".exe.txt", lines("1", "setup.exe.txt", "5", DIGEST), "line 2"},
        {"two dots before exe", lines("1", "setup..exe", "5", DIGEST), "line 2"},
        {"dot dot elsewhere", lines("1", "..setup.exe", "5", DIGEST), "line 2"},
        {"slash", lines("1", "dir/setup.exe", "5", DIGEST), "line 2"},
        {"backslash", lines("1", "dir\\setup.exe", "5", DIGEST), "line 2"},
        {"colon", lines("1", "C:setup.exe", "5", DIGEST), "line 2"},
        {"space", lines("1", "my setup.exe", "5", DIGEST), "line 2"},
        {"percent", lines("1", "setup%2F.exe", "5", DIGEST), "line 2"},
        {"UTF-8", lines("1", "\xE5\xAE\x89\xE8\xA3\x85.exe", "5", DIGEST), "line 2"},
        {"97-character name", lines("1", std::string(93, 'n') + ".exe", "5", DIGEST), "line 2"},
        {"size 0", lines("1", NAME, "0", DIGEST), "line 3"},
        {"size -0", lines("1", NAME, "-0", DIGEST), "line 3"},
        {"size empty", lines("1", NAME, "", DIGEST), "line 3"},
        {"size of spaces", lines("1", NAME, "   ", DIGEST), "line 3"},
        {"digits and a letter", lines("1", NAME, "12a", DIGEST), "line 3"},
        {"hexadecimal", lines("1", NAME, "0x1F", DIGEST), "line 3"},
        {"digits and a tab", lines("1", NAME, "12\t", DIGEST), "line 3"},
        {"two signs", lines("1", NAME, "+-12", DIGEST), "line 3"},
        // A minus sign negates modulo 2^64 and a value past 2^64 - 1 is cut to it:
        // neither is a size, whatever the conversion makes of it.
        {"-1, read as 2^64 - 1", lines("1", NAME, "-1", DIGEST), "line 3, size: no minus sign"},
        {"-(2^64 - 1), read as 1", lines("1", NAME, "-18446744073709551615", DIGEST),
         "line 3, size: no minus sign"},
        {"a minus after blanks", lines("1", NAME, "  -7", DIGEST), "line 3, size: no minus sign"},
        {"2^64", lines("1", NAME, "18446744073709551616", DIGEST), "line 3, size: no minus sign"},
        {"21 digits", lines("1", NAME, "123456789012345678901", DIGEST),
         "line 3, size: no minus sign"},
        {"2^64 with leading zeros and a plus", lines("1", NAME, "+00018446744073709551616", DIGEST),
         "line 3, size: no minus sign"},
        {"63 digits", lines("1", NAME, "5", DIGEST.substr(1)), "line 4"},
        {"65 digits", lines("1", NAME, "5", DIGEST + "0"), "line 4"},
        {"a g among them", lines("1", NAME, "5", "g" + DIGEST.substr(1)), "line 4"},
        {"digest tested before size", lines("1", NAME, "0", DIGEST.substr(1)), "line 4"},
        {"good version and name, bad digest", lines("v9.9.9", "Other-9.9.9.exe", "99", "xyz"),
         "line 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReleaseRecord release, before;
        std::memset(&release, 0x5A, sizeof release);
        std::memcpy(&before, &release, sizeof release);
        const char* reason = nullptr;
        EXPECT_FALSE(parse(c.body, release, &reason));
        EXPECT_EQ(std::memcmp(&release, &before, sizeof release), 0);
        ASSERT_NE(reason, nullptr);
        EXPECT_EQ(std::string(reason).rfind(c.reason, 0), 0u) << reason;
        EXPECT_FALSE(parse(c.body, release));
        EXPECT_EQ(std::memcmp(&release, &before, sizeof release), 0);
    }
}

TEST(ParseManifest, AcceptedFieldsReplaceLongerOnes) {
    ReleaseRecord release;
    std::memset(&release, 0, sizeof release);
    ASSERT_TRUE(parse(lines("v1234567890123456", std::string(92, 'n') + ".exe", "99", UPPER_DIGEST),
                      release));
    ASSERT_TRUE(parse(lines("v2", "b.exe", "3", DIGEST), release));
    EXPECT_STREQ(release.version, "2");
    EXPECT_STREQ(release.file_name, "b.exe");
    EXPECT_EQ(release.size, 3u);
    EXPECT_EQ(std::string(release.sha256), DIGEST);
}

struct TokenCase {
    std::string text;
    int32_t bound;
    bool safe;
};

TEST(IsSafeToken, OnlyTheSixtyFiveCharactersWithinTheBound) {
    const std::string all65 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._-";
    static const TokenCase cases[] = {
        {"", 16, false},
        {"a", 16, true},
        {"a", 0, false},
        {"a", -1, false},
        {std::string(16, 'z'), 16, true},
        {std::string(17, 'z'), 16, false},
        {all65, 65, true},
        {all65, 64, false},
        {"a b", 16, false},
        {"a/b", 16, false},
        {"a\\b", 16, false},
        {"a:b", 16, false},
        {"a+b", 16, false},
        {"a%b", 16, false},
        {"a~b", 16, false},
        {"a\tb", 16, false},
        {"a\x80", 16, false},
        {"\xFF", 16, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " bound " + std::to_string(c.bound));
        EXPECT_EQ(is_safe_token(c.text.c_str(), c.bound), c.safe);
    }
}

}  // namespace
