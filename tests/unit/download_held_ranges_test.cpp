#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "download/held_ranges.hpp"
#include "fake_os.hpp"
#include "test_support.hpp"

namespace {

const char DIGEST[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char OTHER_DIGEST[] = "ca7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr uint64_t SIZE = 1000;

using Ranges = std::vector<ByteRange>;

ReleaseRecord release_of(uint64_t size, const char* digest = DIGEST) {
    ReleaseRecord release{};
    std::snprintf(release.sha256, sizeof release.sha256, "%s", digest);
    release.size = size;
    return release;
}

HeldRanges held_of(const Ranges& ranges, uint64_t size = SIZE) {
    HeldRanges held;
    start_held_ranges(&held, release_of(size));
    for (const ByteRange& r : ranges)
        held.ranges[held.count++] = r;
    return held;
}

std::string show(const ByteRange* ranges, int32_t count) {
    std::string text;
    for (int32_t i = 0; i < count; ++i)
        text += "[" + std::to_string(ranges[i].start) + "," + std::to_string(ranges[i].end) + ")";
    return text;
}

std::string show(const Ranges& ranges) {
    return show(ranges.data(), static_cast<int32_t>(ranges.size()));
}

// Every second 10 bytes held: the record full.
Ranges full_record() {
    Ranges ranges;
    for (uint64_t i = 0; i < MAX_HELD_RANGES; ++i)
        ranges.push_back({i * 10, i * 10 + 5});
    return ranges;
}

struct AddCase {
    const char* name;
    Ranges before;
    ByteRange added;
    bool ok;
    Ranges after;
};

TEST(HeldRanges, AddMergesWhatOverlapsOrTouches) {
    Ranges full = full_record();
    Ranges full_merged = full;
    full_merged[0] = {0, 10};
    full_merged.erase(full_merged.begin() + 1);
    full_merged[0] = {0, 15};
    const AddCase cases[] = {
        {"into an empty record", {}, {10, 20}, true, {{10, 20}}},
        {"before, apart", {{50, 60}}, {10, 20}, true, {{10, 20}, {50, 60}}},
        {"after, apart", {{10, 20}}, {50, 60}, true, {{10, 20}, {50, 60}}},
        {"between two, apart", {{0, 10}, {50, 60}}, {20, 30}, true, {{0, 10}, {20, 30}, {50, 60}}},
        {"touching the front of one", {{50, 60}}, {40, 50}, true, {{40, 60}}},
        {"touching the back of one", {{50, 60}}, {60, 70}, true, {{50, 70}}},
        {"bridging two", {{0, 10}, {20, 30}}, {10, 20}, true, {{0, 30}}},
        {"covering several",
         {{5, 10}, {20, 30}, {40, 45}, {90, 95}},
         {0, 50},
         true,
         {{0, 50}, {90, 95}}},
        {"inside one", {{0, 100}}, {10, 20}, true, {{0, 100}}},
        {"overlapping the end of one and the start of the next",
         {{0, 30}, {40, 60}},
         {20, 50},
         true,
         {{0, 60}}},
        {"up to the size", {{0, 10}}, {900, SIZE}, true, {{0, 10}, {900, SIZE}}},
        {"the whole release", {{100, 200}}, {0, SIZE}, true, {{0, SIZE}}},
        {"empty, refused", {{0, 10}}, {20, 20}, false, {{0, 10}}},
        {"reversed, refused", {{0, 10}}, {30, 20}, false, {{0, 10}}},
        {"past the size, refused", {{0, 10}}, {990, SIZE + 1}, false, {{0, 10}}},
        {"a new range in a full record, refused", full, {700, 710}, false, full},
        {"a merge in a full record", full, {5, 10}, true, full_merged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HeldRanges held = held_of(c.before);
        EXPECT_EQ(add_held_range(&held, c.added.start, c.added.end), c.ok);
        EXPECT_EQ(show(held.ranges, held.count), show(c.after));
    }
}

struct RemoveCase {
    const char* name;
    Ranges before;
    ByteRange removed;
    Ranges after;
};

TEST(HeldRanges, RemoveCutsAndNeverClaimsMore) {
    Ranges full = full_record();
    Ranges full_cut = full;  // [0,5) cut at [1,2): the back part is dropped
    full_cut[0] = {0, 1};
    const RemoveCase cases[] = {
        {"the whole of one", {{0, 10}, {20, 30}}, {0, 10}, {{20, 30}}},
        {"the front of one", {{10, 30}}, {0, 15}, {{15, 30}}},
        {"the back of one", {{10, 30}}, {25, 40}, {{10, 25}}},
        {"the middle of one", {{10, 30}}, {15, 20}, {{10, 15}, {20, 30}}},
        {"across several", {{0, 10}, {20, 30}, {40, 50}}, {5, 45}, {{0, 5}, {45, 50}}},
        {"between ranges", {{0, 10}, {20, 30}}, {10, 20}, {{0, 10}, {20, 30}}},
        {"empty", {{0, 10}}, {5, 5}, {{0, 10}}},
        {"a cut in a full record drops the back part", full, {1, 2}, full_cut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HeldRanges held = held_of(c.before);
        remove_held_range(&held, c.removed.start, c.removed.end);
        EXPECT_EQ(show(held.ranges, held.count), show(c.after));
    }
}

struct MissingCase {
    const char* name;
    Ranges held;
    int32_t capacity;
    int32_t count;
    Ranges missing;  // the first `capacity` of them
    uint64_t held_bytes;
};

TEST(HeldRanges, MissingRangesAreTheHoles) {
    const MissingCase cases[] = {
        {"nothing held", {}, 4, 1, {{0, SIZE}}, 0},
        {"everything held", {{0, SIZE}}, 4, 0, {}, SIZE},
        {"a hole at the front", {{100, SIZE}}, 4, 1, {{0, 100}}, 900},
        {"a hole at the end", {{0, 900}}, 4, 1, {{900, SIZE}}, 900},
        {"holes around and between",
         {{100, 200}, {300, 400}},
         4,
         3,
         {{0, 100}, {200, 300}, {400, SIZE}},
         200},
        {"more holes than room: the count of them all",
         {{100, 200}, {300, 400}},
         2,
         3,
         {{0, 100}, {200, 300}},
         200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const HeldRanges held = held_of(c.held);
        ByteRange out[MAX_HELD_RANGES + 1];
        EXPECT_EQ(missing_ranges(held, out, c.capacity), c.count);
        EXPECT_EQ(show(out, static_cast<int32_t>(c.missing.size())), show(c.missing));
        EXPECT_EQ(held_bytes(held), c.held_bytes);
    }
}

// A record's text, written out by hand.
std::string record_text(const std::string& digest, const std::string& size,
                        const std::vector<std::string>& ranges, const std::string& tail = "end\n") {
    std::string text = "trevalon held ranges 1\nsha256 " + digest + "\nsize " + size + "\n";
    for (const std::string& range : ranges)
        text += "range " + range + "\n";
    return text + tail;
}

struct ParseCase {
    const char* name;
    std::string text;
    HeldRecordCheck check;
};

TEST(HeldRanges, ParseRefusesEveryRecordItCannotTrust) {
    std::vector<std::string> sixty_four, sixty_five;
    for (int i = 0; i < MAX_HELD_RANGES + 1; ++i) {
        const std::string range = std::to_string(i * 10) + " " + std::to_string(i * 10 + 5);
        if (i < MAX_HELD_RANGES) sixty_four.push_back(range);
        sixty_five.push_back(range);
    }
    std::string upper = DIGEST;
    for (char& ch : upper)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const std::string d = DIGEST;
    const ParseCase cases[] = {
        {"valid", record_text(d, "1000", {"0 10", "20 1000"}), HeldRecordCheck::valid},
        {"valid, nothing held", record_text(d, "1000", {}), HeldRecordCheck::valid},
        {"valid, digest in upper case", record_text(upper, "1000", {"0 10"}),
         HeldRecordCheck::valid},
        {"valid, 64 ranges", record_text(d, "1000", sixty_four), HeldRecordCheck::valid},
        {"65 ranges", record_text(d, "1000", sixty_five), HeldRecordCheck::too_many},
        {"a range past the size", record_text(d, "1000", {"0 10", "990 1001"}),
         HeldRecordCheck::out_of_range},
        {"an empty range", record_text(d, "1000", {"10 10"}), HeldRecordCheck::out_of_range},
        {"a reversed range", record_text(d, "1000", {"20 10"}), HeldRecordCheck::out_of_range},
        {"overlapping ranges", record_text(d, "1000", {"0 20", "10 30"}),
         HeldRecordCheck::not_in_order},
        {"unsorted ranges", record_text(d, "1000", {"50 60", "0 10"}),
         HeldRecordCheck::not_in_order},
        {"touching ranges, not merged", record_text(d, "1000", {"0 10", "10 20"}),
         HeldRecordCheck::not_in_order},
        {"a digest of 63 digits", record_text(d.substr(1), "1000", {}),
         HeldRecordCheck::bad_digest},
        {"a digest of 65 digits", record_text(d + "a", "1000", {}), HeldRecordCheck::bad_digest},
        {"a digest with a non-hex digit", record_text("g" + d.substr(1), "1000", {}),
         HeldRecordCheck::bad_digest},
        {"another release's digest", record_text(OTHER_DIGEST, "1000", {}),
         HeldRecordCheck::other_release},
        {"another size", record_text(d, "1001", {}), HeldRecordCheck::other_release},
        {"trailing garbage", record_text(d, "1000", {"0 10"}, "end\nx"),
         HeldRecordCheck::malformed},
        {"a second end", record_text(d, "1000", {}, "end\nend\n"), HeldRecordCheck::malformed},
        {"no end", record_text(d, "1000", {"0 10"}, ""), HeldRecordCheck::malformed},
        {"end without its newline", record_text(d, "1000", {"0 10"}, "end"),
         HeldRecordCheck::malformed},
        {"CR LF line ends", "trevalon held ranges 1\r\nsha256 " + d + "\r\nsize 1000\r\nend\r\n",
         HeldRecordCheck::malformed},
        {"another version", "trevalon held ranges 2\nsha256 " + d + "\nsize 1000\nend\n",
         HeldRecordCheck::malformed},
        {"empty", "", HeldRecordCheck::malformed},
        {"a leading zero", record_text(d, "1000", {"0 010"}), HeldRecordCheck::malformed},
        {"a sign", record_text(d, "1000", {"+0 10"}), HeldRecordCheck::malformed},
        {"two spaces", record_text(d, "1000", {"0  10"}), HeldRecordCheck::malformed},
        {"a size of 2^64", record_text(d, "18446744073709551616", {}), HeldRecordCheck::malformed},
        {"21 digits", record_text(d, "000000000000000000001", {}), HeldRecordCheck::malformed},
        {"a range of two numbers and more", record_text(d, "1000", {"0 10 20"}),
         HeldRecordCheck::malformed},
        {"a line that is no range", record_text(d, "1000", {}, "hole 0 10\nend\n"),
         HeldRecordCheck::malformed},
    };
    const ReleaseRecord release = release_of(SIZE);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HeldRanges held;
        std::memset(&held, 0x5a, sizeof held);
        const HeldRanges untouched = held;
        EXPECT_EQ(
            parse_held_ranges(c.text.data(), static_cast<uint32_t>(c.text.size()), release, &held),
            c.check);
        if (c.check != HeldRecordCheck::valid) {
            EXPECT_EQ(std::memcmp(&held, &untouched, sizeof held), 0) << "written when refused";
        }
    }
}

TEST(HeldRanges, FormatThenParseGivesTheSameRecord) {
    const uint64_t huge = ~static_cast<uint64_t>(0);
    Ranges many;
    for (uint64_t i = 0; i < MAX_HELD_RANGES; ++i)
        many.push_back({huge - 1000 + i * 10, huge - 1000 + i * 10 + 3});
    struct Case {
        const char* name;
        uint64_t size;
        Ranges ranges;
    } const cases[] = {
        {"nothing held", SIZE, {}},
        {"all held", SIZE, {{0, SIZE}}},
        {"holes", SIZE, {{1, 2}, {100, 200}, {999, SIZE}}},
        {"64 ranges near 2^64", huge, many},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const HeldRanges held = held_of(c.ranges, c.size);
        char text[HELD_RECORD_TEXT_SIZE];
        const uint32_t length = format_held_ranges(held, text, sizeof text);
        ASSERT_GT(length, 0u);
        EXPECT_EQ(format_held_ranges(held, text, length), 0u) << "fits one byte short";
        ASSERT_EQ(format_held_ranges(held, text, sizeof text), length);
        HeldRanges back;
        ASSERT_EQ(parse_held_ranges(text, length, release_of(c.size), &back),
                  HeldRecordCheck::valid);
        EXPECT_STREQ(back.sha256, DIGEST);
        EXPECT_EQ(back.size, c.size);
        EXPECT_EQ(show(back.ranges, back.count), show(c.ranges));
    }
}

class HeldRecordFile : public ::testing::Test {
protected:
    void SetUp() override {
        fake_os::reset();
        record = dir.file("setup.exe.part.held");
        part = dir.file("setup.exe.part");
    }

    HeldRecordCheck load(HeldRanges* held) {
        return load_held_ranges(record.c_str(), part.c_str(), release_of(SIZE), held);
    }

    TestDir dir;
    std::string record, part;
};

TEST_F(HeldRecordFile, SavedRecordLoadsAgain) {
    write_file(part, std::string(SIZE, 'x'));
    const HeldRanges held = held_of({{0, 10}, {500, SIZE}});
    ASSERT_TRUE(save_held_ranges(record.c_str(), held));
    EXPECT_FALSE(file_exists(record + HELD_NEW_SUFFIX));
    HeldRanges back;
    ASSERT_EQ(load(&back), HeldRecordCheck::valid);
    EXPECT_EQ(show(back.ranges, back.count), "[0,10)[500,1000)");
}

TEST_F(HeldRecordFile, RefusesWhatTheFileCannotBe) {
    char text[HELD_RECORD_TEXT_SIZE];
    const uint32_t length = format_held_ranges(held_of({{0, 10}, {500, 600}}), text, sizeof text);
    const std::string good(text, length);
    struct Case {
        const char* name;
        const char* record;  // nullptr: no record file
        std::string part;    // the part's bytes; "-": no part file
        HeldRecordCheck check;
    } const cases[] = {
        {"no record", nullptr, std::string(600, 'x'), HeldRecordCheck::absent},
        {"a part as long as the record claims", good.c_str(), std::string(600, 'x'),
         HeldRecordCheck::valid},
        {"a part shorter than the record claims", good.c_str(), std::string(599, 'x'),
         HeldRecordCheck::claims_too_much},
        {"no part", good.c_str(), "-", HeldRecordCheck::claims_too_much},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(record.c_str());
        std::remove(part.c_str());
        if (c.record != nullptr) write_file(record, c.record);
        if (c.part != "-") write_file(part, c.part);
        HeldRanges held;
        EXPECT_EQ(load(&held), c.check);
    }
    // Longer than any record: refused without reading on.
    write_file(part, std::string(600, 'x'));
    write_file(record, good + std::string(HELD_RECORD_TEXT_SIZE, '\n'));
    HeldRanges held;
    EXPECT_EQ(load(&held), HeldRecordCheck::malformed);
}

TEST_F(HeldRecordFile, AMoveThatFailsKeepsTheOldRecord) {
    write_file(part, std::string(SIZE, 'x'));
    ASSERT_TRUE(save_held_ranges(record.c_str(), held_of({{0, 10}})));
    fake_os::set_move_fails(true);
    EXPECT_FALSE(save_held_ranges(record.c_str(), held_of({{0, 500}})));
    EXPECT_FALSE(file_exists(record + HELD_NEW_SUFFIX));
    HeldRanges back;
    ASSERT_EQ(load(&back), HeldRecordCheck::valid);
    EXPECT_EQ(show(back.ranges, back.count), "[0,10)");
}

TEST_F(HeldRecordFile, DropRemovesTheRecordAndALeftNewFile) {
    write_file(record, "a");
    write_file(record + HELD_NEW_SUFFIX, "b");
    drop_held_ranges(record.c_str());
    EXPECT_FALSE(file_exists(record));
    EXPECT_FALSE(file_exists(record + HELD_NEW_SUFFIX));
}

// The write protocol cut after each of its steps, as a crash would cut it:
// the part holds [0, 300) claimed by the record; the writer then adds
// [600, 900). Whatever the cut, a reader sees a record that claims only bytes
// the part has, and which are the release's.
TEST_F(HeldRecordFile, TheRecordAfterACutAtEveryStep) {
    std::string release(SIZE, '\0');
    for (uint64_t i = 0; i < SIZE; ++i)
        release[i] = static_cast<char>('a' + i % 26);
    const HeldRanges before = held_of({{0, 300}});
    const HeldRanges after = held_of({{0, 300}, {600, 900}});
    char text[HELD_RECORD_TEXT_SIZE];
    const uint32_t after_length = format_held_ranges(after, text, sizeof text);
    const std::string after_text(text, after_length);

    struct Cut {
        std::string name;
        bool data_flushed;    // step 1: [600, 900) in the part
        int new_file_bytes;   // step 2: how much of the new file; -1 not begun
        bool moved;           // step 3
        const char* claimed;  // what the reader sees
    };
    std::vector<Cut> cuts = {
        {"before anything", false, -1, false, "[0,300)"},
        {"after the data", true, -1, false, "[0,300)"},
    };
    for (uint32_t n = 0; n < after_length; ++n)
        cuts.push_back({"the new record torn after " + std::to_string(n) + " bytes", true,
                        static_cast<int>(n), false, "[0,300)"});
    cuts.push_back({"the new record whole, not moved", true, static_cast<int>(after_length), false,
                    "[0,300)"});
    cuts.push_back(
        {"after the move", true, static_cast<int>(after_length), true, "[0,300)[600,900)"});

    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.name);
        drop_held_ranges(record.c_str());
        write_file(part, release.substr(0, 300));
        ASSERT_TRUE(save_held_ranges(record.c_str(), before));
        if (cut.data_flushed) {
            std::FILE* file = std::fopen(part.c_str(), "r+b");
            ASSERT_NE(file, nullptr);
            ASSERT_EQ(std::fseek(file, 600, SEEK_SET), 0);
            ASSERT_EQ(std::fwrite(release.data() + 600, 1, 300, file), 300u);
            ASSERT_EQ(std::fflush(file), 0);
            std::fclose(file);
        }
        if (cut.moved) {
            ASSERT_TRUE(save_held_ranges(record.c_str(), after));
        } else if (cut.new_file_bytes == static_cast<int>(after_length)) {
            ASSERT_TRUE(write_new_held_record(record.c_str(), after));
        } else if (cut.new_file_bytes >= 0) {
            write_file(record + HELD_NEW_SUFFIX, after_text.substr(0, cut.new_file_bytes));
        }

        HeldRanges seen;
        ASSERT_EQ(load(&seen), HeldRecordCheck::valid);
        EXPECT_EQ(show(seen.ranges, seen.count), cut.claimed);
        const std::string on_disk = read_file(part);
        for (int32_t i = 0; i < seen.count; ++i) {
            const ByteRange r = seen.ranges[i];
            ASSERT_GE(on_disk.size(), r.end);
            EXPECT_EQ(on_disk.substr(r.start, r.end - r.start),
                      release.substr(r.start, r.end - r.start));
        }
        // The next run saves over whatever the cut left beside the record.
        if (cut.data_flushed) {
            ASSERT_TRUE(save_held_ranges(record.c_str(), after));
            ASSERT_EQ(load(&seen), HeldRecordCheck::valid);
            EXPECT_EQ(show(seen.ranges, seen.count), "[0,300)[600,900)");
        }
    }
}

}  // namespace
