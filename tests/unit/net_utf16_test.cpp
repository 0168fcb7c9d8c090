#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/utf16.hpp"

namespace {

struct WidenCase {
    const char* name;
    const char* utf8;
    std::vector<char16_t> units;  // with the terminator
};

// The converter the libcurl backend and the fake put where Windows has
// MultiByteToWideChar: every code point, including the first one above the
// basic plane, is followed by whatever comes after it and by the terminator.
TEST(Utf8ToUtf16, ConvertsUpToAndIncludingTheTerminator) {
    static const WidenCase cases[] = {
        {"empty", "", {0}},
        {"ascii", "a/b", {u'a', u'/', u'b', 0}},
        {"two bytes", "\xC3\xA9", {0x00E9, 0}},
        {"three bytes", "\xE4\xB8\xAD", {0x4E2D, 0}},
        {"first above the basic plane", "\xF0\x90\x80\x80", {0xD800, 0xDC00, 0}},
        {"first above the basic plane, then text", "\xF0\x90\x80\x80x", {0xD800, 0xDC00, u'x', 0}},
        {"last of the basic plane", "\xEF\xBF\xBF", {0xFFFF, 0}},
        {"emoji", "/\xF0\x9F\x98\x80/", {u'/', 0xD83D, 0xDE00, u'/', 0}},
        {"last code point", "\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF, 0}},
        {"stray byte",
         "a\xFF"
         "b",
         {u'a', 0xFFFD, u'b', 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char16_t> out(16, 0xAAAA);
        int written = utf8_to_utf16(c.utf8, out.data(), static_cast<int>(out.size()));
        ASSERT_EQ(written, static_cast<int>(c.units.size()));
        EXPECT_EQ(std::vector<char16_t>(out.begin(), out.begin() + written), c.units);
    }
}

TEST(Utf8ToUtf16, FailsWhenTheTerminatorDoesNotFit) {
    static const struct {
        const char* utf8;
        int capacity;
        int written;
    } cases[] = {
        {"\xF0\x90\x80\x80", 3, 3},
        {"\xF0\x90\x80\x80", 2, 0},
        {"ab", 3, 3},
        {"ab", 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "capacity " << c.capacity);
        std::vector<char16_t> out(static_cast<size_t>(c.capacity) + 1, 0xAAAA);
        EXPECT_EQ(utf8_to_utf16(c.utf8, out.data(), c.capacity), c.written);
        EXPECT_EQ(out[static_cast<size_t>(c.capacity)], 0xAAAA);  // nothing past the capacity
    }
}

TEST(Utf8ToUtf16, RoundTripsThroughUtf16ToUtf8) {
    static const char* const texts[] = {"\xF0\x90\x80\x80", "x\xF0\x90\x80\x80y", "\xE8\x8A\x82"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        char16_t wide[16];
        ASSERT_GT(utf8_to_utf16(text, wide, 16), 0);
        char back[32];
        ASSERT_TRUE(utf16_to_utf8(wide, back, sizeof back));
        EXPECT_EQ(std::string(back), text);
    }
}

}  // namespace
