// The record of the ranges held, its one text form and its file; the
// protocol that keeps it true across a crash is described in held_ranges.hpp.
// The text form, one line each, "\n" line ends, numbers in decimal without
// leading zeros:
//
//   trevalon held ranges 1
//   sha256 <64 hex digits>
//   size <bytes>
//   range <start> <end>      (zero to MAX_HELD_RANGES lines, [start, end))
//   end
#include "download/held_ranges.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "os/os.hpp"
#include "verify/verify.hpp"

namespace {

constexpr char HEAD_LINE[] = "trevalon held ranges 1\n";
constexpr int MAX_DECIMAL_DIGITS = 20;  // 2^64 - 1 has 20

// A cursor over the record's text that takes exact words and numbers.
struct Reader {
    const char* at;
    const char* end;

    bool take(const char* word) {
        const size_t length = std::strlen(word);
        if (static_cast<size_t>(end - at) < length || std::memcmp(at, word, length) != 0)
            return false;
        at += length;
        return true;
    }

    bool next_is(const char* word) const {
        const size_t length = std::strlen(word);
        return static_cast<size_t>(end - at) >= length && std::memcmp(at, word, length) == 0;
    }

    // Digits only, no sign, no leading zero but in "0", no overflow.
    bool number(uint64_t* value) {
        const char* first = at;
        uint64_t result = 0;
        while (at < end && *at >= '0' && *at <= '9') {
            const uint64_t digit = static_cast<uint64_t>(*at - '0');
            if (result > (UINT64_MAX - digit) / 10) return false;
            result = result * 10 + digit;
            ++at;
        }
        const long digits = at - first;
        if (digits == 0 || digits > MAX_DECIMAL_DIGITS || (digits > 1 && *first == '0'))
            return false;
        *value = result;
        return true;
    }
};

// The record's path with HELD_NEW_SUFFIX; false when it would be cut.
bool compose_new_path(const char* path, char out[HELD_PATH_SIZE + sizeof HELD_NEW_SUFFIX]) {
    const int length =
        std::snprintf(out, HELD_PATH_SIZE + sizeof HELD_NEW_SUFFIX, "%s%s", path, HELD_NEW_SUFFIX);
    return length > 0 && static_cast<size_t>(length) < HELD_PATH_SIZE + sizeof HELD_NEW_SUFFIX - 1;
}

}  // namespace

void start_held_ranges(HeldRanges* held, const ReleaseRecord& release) {
    std::memset(held, 0, sizeof *held);
    (void)std::snprintf(held->sha256, sizeof held->sha256, "%s", release.sha256);
    held->size = release.size;
}

bool add_held_range(HeldRanges* held, uint64_t start, uint64_t end) {
    if (start >= end || end > held->size) return false;
    // first: the first range that reaches start (touching counts); last: one
    // past the last range that starts at or before end. Those in between merge.
    int32_t first = 0;
    while (first < held->count && held->ranges[first].end < start)
        ++first;
    int32_t last = first;
    while (last < held->count && held->ranges[last].start <= end)
        ++last;
    const int32_t merged = last - first;
    if (merged == 0) {
        if (held->count == MAX_HELD_RANGES) return false;
        std::memmove(&held->ranges[first + 1], &held->ranges[first],
                     sizeof(ByteRange) * static_cast<size_t>(held->count - first));
        held->ranges[first] = {start, end};
        ++held->count;
        return true;
    }
    ByteRange joined = {start, end};
    if (held->ranges[first].start < joined.start) joined.start = held->ranges[first].start;
    if (held->ranges[last - 1].end > joined.end) joined.end = held->ranges[last - 1].end;
    held->ranges[first] = joined;
    std::memmove(&held->ranges[first + 1], &held->ranges[last],
                 sizeof(ByteRange) * static_cast<size_t>(held->count - last));
    held->count -= merged - 1;
    return true;
}

void remove_held_range(HeldRanges* held, uint64_t start, uint64_t end) {
    if (start >= end) return;
    ByteRange kept[MAX_HELD_RANGES + 1];
    int32_t count = 0;
    int32_t cut_back = -1;  // the back part of a range cut in two
    for (int32_t i = 0; i < held->count; ++i) {
        const ByteRange range = held->ranges[i];
        if (range.end <= start || range.start >= end) {
            kept[count++] = range;
            continue;
        }
        if (range.start < start) kept[count++] = {range.start, start};
        if (range.end > end) {
            if (range.start < start) cut_back = count;
            kept[count++] = {end, range.end};
        }
    }
    if (count > MAX_HELD_RANGES) {  // only a cut adds a range
        std::memmove(&kept[cut_back], &kept[cut_back + 1],
                     sizeof(ByteRange) * static_cast<size_t>(count - cut_back - 1));
        --count;
    }
    std::memcpy(held->ranges, kept, sizeof(ByteRange) * static_cast<size_t>(count));
    held->count = count;
}

uint64_t held_bytes(const HeldRanges& held) {
    uint64_t total = 0;
    for (int32_t i = 0; i < held.count; ++i)
        total += held.ranges[i].end - held.ranges[i].start;
    return total;
}

int32_t missing_ranges(const HeldRanges& held, ByteRange* out, int32_t capacity) {
    int32_t found = 0;
    uint64_t from = 0;
    for (int32_t i = 0; i <= held.count; ++i) {
        const uint64_t to = i < held.count ? held.ranges[i].start : held.size;
        if (to > from) {
            if (found < capacity) out[found] = {from, to};
            ++found;
        }
        if (i < held.count) from = held.ranges[i].end;
    }
    return found;
}

uint32_t format_held_ranges(const HeldRanges& held, char* text, uint32_t capacity) {
    uint32_t length = 0;
    auto append = [&](int written) {
        if (written < 0 || length + static_cast<uint32_t>(written) >= capacity) return false;
        length += static_cast<uint32_t>(written);
        return true;
    };
    if (capacity == 0 ||
        !append(std::snprintf(text, capacity, "%ssha256 %s\nsize %llu\n", HEAD_LINE, held.sha256,
                              static_cast<unsigned long long>(held.size))))
        return 0;
    for (int32_t i = 0; i < held.count; ++i) {
        if (!append(std::snprintf(text + length, capacity - length, "range %llu %llu\n",
                                  static_cast<unsigned long long>(held.ranges[i].start),
                                  static_cast<unsigned long long>(held.ranges[i].end))))
            return 0;
    }
    if (!append(std::snprintf(text + length, capacity - length, "end\n"))) return 0;
    return length;
}

HeldRecordCheck parse_held_ranges(const char* text, uint32_t length, const ReleaseRecord& release,
                                  HeldRanges* held) {
    Reader in = {text, text + length};
    HeldRanges record;
    std::memset(&record, 0, sizeof record);
    if (!in.take(HEAD_LINE) || !in.take("sha256 ")) return HeldRecordCheck::malformed;
    int digits = 0;
    while (in.at + digits < in.end && in.at[digits] != '\n')
        ++digits;
    if (in.at + digits == in.end) return HeldRecordCheck::malformed;
    if (digits != HELD_DIGEST_LENGTH) return HeldRecordCheck::bad_digest;
    for (int i = 0; i < digits; ++i) {
        if (std::isxdigit(static_cast<unsigned char>(in.at[i])) == 0)
            return HeldRecordCheck::bad_digest;
    }
    std::memcpy(record.sha256, in.at, HELD_DIGEST_LENGTH);
    in.at += digits;
    if (!in.take("\nsize ") || !in.number(&record.size) || !in.take("\n"))
        return HeldRecordCheck::malformed;
    bool too_many = false;
    while (!in.next_is("end\n")) {
        ByteRange range;
        if (!in.take("range ") || !in.number(&range.start) || !in.take(" ") ||
            !in.number(&range.end) || !in.take("\n"))
            return HeldRecordCheck::malformed;
        if (record.count == MAX_HELD_RANGES) {
            too_many = true;  // read on: a malformed line still counts as malformed
            continue;
        }
        record.ranges[record.count++] = range;
    }
    in.take("end\n");
    if (in.at != in.end) return HeldRecordCheck::malformed;
    if (!digest_text_matches(release.sha256, record.sha256) || record.size != release.size)
        return HeldRecordCheck::other_release;
    if (too_many) return HeldRecordCheck::too_many;
    for (int32_t i = 0; i < record.count; ++i) {
        const ByteRange& range = record.ranges[i];
        if (range.start >= range.end || range.end > record.size)
            return HeldRecordCheck::out_of_range;
        if (i > 0 && range.start <= record.ranges[i - 1].end) return HeldRecordCheck::not_in_order;
    }
    *held = record;
    return HeldRecordCheck::valid;
}

bool write_new_held_record(const char* path, const HeldRanges& held) {
    char new_path[HELD_PATH_SIZE + sizeof HELD_NEW_SUFFIX];
    char text[HELD_RECORD_TEXT_SIZE];
    const uint32_t length = format_held_ranges(held, text, sizeof text);
    if (length == 0 || !compose_new_path(path, new_path)) return false;
    std::FILE* file = std::fopen(new_path, "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text, 1, length, file) == length;
    if (std::fclose(file) != 0 || !written) {
        delete_file(new_path);
        return false;
    }
    return true;
}

bool save_held_ranges(const char* path, const HeldRanges& held) {
    char new_path[HELD_PATH_SIZE + sizeof HELD_NEW_SUFFIX];
    if (!compose_new_path(path, new_path) || !write_new_held_record(path, held)) return false;
    // At once: a scanner holding the record for a moment only delays it to
    // the next save, and a wait here would hold up every stream.
    if (move_file_replacing_at_once(new_path, path)) return true;
    delete_file(new_path);
    return false;
}

HeldRecordCheck load_held_ranges(const char* path, const char* part_path,
                                 const ReleaseRecord& release, HeldRanges* held) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return HeldRecordCheck::absent;
    char text[HELD_RECORD_TEXT_SIZE + 1];
    const size_t count = std::fread(text, 1, sizeof text, file);
    const bool failed = std::ferror(file) != 0;
    (void)std::fclose(file);  // read only: nothing to lose
    if (failed) return HeldRecordCheck::absent;
    if (count > HELD_RECORD_TEXT_SIZE) return HeldRecordCheck::malformed;
    HeldRanges record;
    const HeldRecordCheck check =
        parse_held_ranges(text, static_cast<uint32_t>(count), release, &record);
    if (check != HeldRecordCheck::valid) return check;
    uint64_t part_size = 0;
    const uint64_t claimed = record.count > 0 ? record.ranges[record.count - 1].end : 0;
    if (claimed > 0 && (!file_size(part_path, &part_size) || part_size < claimed))
        return HeldRecordCheck::claims_too_much;
    *held = record;
    return HeldRecordCheck::valid;
}

// Removed as the part's digest file is: these small files are never held
// open by anyone, so the plain call does, and it keeps the part's own delete
// (which may meet a scanner) the one that the OS layer reports.
void drop_held_ranges(const char* path) {
    char new_path[HELD_PATH_SIZE + sizeof HELD_NEW_SUFFIX];
    if (compose_new_path(path, new_path)) std::remove(new_path);
    std::remove(path);
}
