// Reading a PE file's version resource: the DOS header leads to the PE
// header, its optional header to the resource directory's address, the
// section table turns addresses into file offsets, and the resource tree is
// walked as GetFileVersionInfo asks for it: type RT_VERSION -> ID 1 -> its
// one language to the data, which is read whole (up to
// VERSION_DATA_MAX_BYTES) and taken apart as the nested blocks of
// VS_VERSIONINFO. A named entry or another ID is not the one Windows reads,
// and several languages under ID 1 leave the choice to the user's language,
// so such a file says two things and is refused. Each step reads only what it needs through the
// byte source; a value that points outside what it belongs to ends the
// reading with `none`, never with a read past a buffer.
#include "verify/version_resource.hpp"

#include <cstdio>
#include <cstring>

#include "net/utf16.hpp"

namespace {

constexpr uint32_t DOS_HEADER_BYTES = 64;
constexpr uint32_t PE_OFFSET_FIELD = 0x3C;
constexpr uint32_t FILE_HEADER_BYTES = 24;  // "PE\0\0" and IMAGE_FILE_HEADER
constexpr uint32_t OPTIONAL_HEADER_READ = 240;
constexpr uint16_t PE32_MAGIC = 0x10B;
constexpr uint16_t PE32_PLUS_MAGIC = 0x20B;
constexpr uint32_t PE32_DIRECTORIES = 96;  // where the data directories start
constexpr uint32_t PE32_PLUS_DIRECTORIES = 112;
constexpr uint32_t RESOURCE_DIRECTORY_INDEX = 2;
constexpr uint32_t SECTION_HEADER_BYTES = 40;
constexpr uint32_t MAX_SECTIONS = 96;  // the loader's own limit
constexpr uint32_t RESOURCE_DIRECTORY_BYTES = 16;
constexpr uint32_t RESOURCE_ENTRY_BYTES = 8;
constexpr uint32_t RESOURCE_DATA_ENTRY_BYTES = 16;
constexpr uint32_t SUBDIRECTORY_FLAG = 0x80000000u;
constexpr uint32_t RT_VERSION_ID = 16;
constexpr uint32_t VERSION_INFO_ID = 1;  // VS_VERSION_INFO
constexpr uint32_t FIXED_FILE_INFO_BYTES = 52;
constexpr uint32_t FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BDu;
constexpr uint16_t TEXT_VALUE = 1;

unsigned char g_version_data[VERSION_DATA_MAX_BYTES];

uint16_t le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

enum class Got { all, short_read, error };

// Reads exactly count bytes at offset, taking partial reads as they come.
Got read_exact(const ByteSource& source, uint64_t offset, unsigned char* buffer, uint32_t count) {
    uint32_t total = 0;
    while (total < count) {
        uint32_t got = 0;
        if (!source.read_at(source.context, offset + total, buffer + total, count - total, &got))
            return Got::error;
        if (got == 0) return Got::short_read;
        total += got;
    }
    return Got::all;
}

struct Section {
    uint32_t address;
    uint32_t raw_size;
    uint32_t raw_offset;
};

// The sections and the resource directory of a PE file.
struct Image {
    uint16_t machine;
    uint16_t characteristics;
    Section sections[MAX_SECTIONS];
    uint32_t section_count;
    uint32_t resource_address;
};

// The file offset of length bytes at address, and the bytes of that section
// that follow it (in *available); false when no section holds them.
bool file_offset(const Image& image, uint32_t address, uint64_t* offset, uint32_t* available) {
    for (uint32_t i = 0; i < image.section_count; ++i) {
        const Section& s = image.sections[i];
        if (address < s.address || address - s.address >= s.raw_size) continue;
        *offset = static_cast<uint64_t>(s.raw_offset) + (address - s.address);
        *available = s.raw_size - (address - s.address);
        return true;
    }
    return false;
}

// Fills image from the headers; `none` when they are not a PE file's.
VersionResourceRead read_headers(const ByteSource& source, Image& image) {
    unsigned char dos[DOS_HEADER_BYTES];
    Got got = read_exact(source, 0, dos, sizeof dos);
    if (got != Got::all)
        return got == Got::error ? VersionResourceRead::read_failed : VersionResourceRead::none;
    if (dos[0] != 'M' || dos[1] != 'Z') return VersionResourceRead::none;
    const uint64_t pe = le32(dos + PE_OFFSET_FIELD);

    unsigned char header[FILE_HEADER_BYTES];
    got = read_exact(source, pe, header, sizeof header);
    if (got != Got::all)
        return got == Got::error ? VersionResourceRead::read_failed : VersionResourceRead::none;
    if (std::memcmp(header, "PE\0\0", 4) != 0) return VersionResourceRead::none;
    image.machine = le16(header + 4);
    image.characteristics = le16(header + 22);
    const uint32_t section_count = le16(header + 6);
    const uint32_t optional_size = le16(header + 20);
    if (section_count > MAX_SECTIONS) return VersionResourceRead::none;

    unsigned char optional[OPTIONAL_HEADER_READ];
    const uint32_t optional_read =
        optional_size < OPTIONAL_HEADER_READ ? optional_size : OPTIONAL_HEADER_READ;
    got = read_exact(source, pe + FILE_HEADER_BYTES, optional, optional_read);
    if (got != Got::all)
        return got == Got::error ? VersionResourceRead::read_failed : VersionResourceRead::none;
    if (optional_read < 2) return VersionResourceRead::none;
    const uint16_t magic = le16(optional);
    uint32_t directories = 0;
    if (magic == PE32_MAGIC) {
        directories = PE32_DIRECTORIES;
    } else if (magic == PE32_PLUS_MAGIC) {
        directories = PE32_PLUS_DIRECTORIES;
    } else {
        return VersionResourceRead::none;
    }
    const uint32_t entry = directories + 8 * RESOURCE_DIRECTORY_INDEX;
    if (optional_read < entry + 8) return VersionResourceRead::none;
    if (le32(optional + directories - 4) <= RESOURCE_DIRECTORY_INDEX)
        return VersionResourceRead::none;  // NumberOfRvaAndSizes
    image.resource_address = le32(optional + entry);
    if (image.resource_address == 0 || le32(optional + entry + 4) == 0)
        return VersionResourceRead::none;

    const uint64_t table = pe + FILE_HEADER_BYTES + optional_size;
    image.section_count = 0;
    for (uint32_t i = 0; i < section_count; ++i) {
        unsigned char row[SECTION_HEADER_BYTES];
        got = read_exact(source, table + static_cast<uint64_t>(i) * SECTION_HEADER_BYTES, row,
                         sizeof row);
        if (got != Got::all)
            return got == Got::error ? VersionResourceRead::read_failed : VersionResourceRead::none;
        Section& s = image.sections[image.section_count++];
        s.address = le32(row + 12);
        s.raw_size = le32(row + 16);
        s.raw_offset = le32(row + 20);
    }
    return VersionResourceRead::found;
}

// One level of the resource tree: the entry with the given ID (never a
// named one), or the first entry when any_entry; its offset-to-data in
// *data and the level's number of entries in *count. `none` when absent.
VersionResourceRead find_entry(const ByteSource& source, uint64_t base, uint32_t available,
                               uint32_t directory, bool any_entry, uint32_t id, uint32_t* data,
                               uint32_t* count) {
    if (directory > available || available - directory < RESOURCE_DIRECTORY_BYTES)
        return VersionResourceRead::none;
    unsigned char head[RESOURCE_DIRECTORY_BYTES];
    Got got = read_exact(source, base + directory, head, sizeof head);
    if (got != Got::all)
        return got == Got::error ? VersionResourceRead::read_failed : VersionResourceRead::none;
    const uint32_t entries = static_cast<uint32_t>(le16(head + 12)) + le16(head + 14);
    *count = entries;
    for (uint32_t k = 0; k < entries; ++k) {
        const uint64_t at =
            static_cast<uint64_t>(directory) + RESOURCE_DIRECTORY_BYTES + RESOURCE_ENTRY_BYTES * k;
        if (at + RESOURCE_ENTRY_BYTES > available) return VersionResourceRead::none;
        unsigned char row[RESOURCE_ENTRY_BYTES];
        got = read_exact(source, base + at, row, sizeof row);
        if (got != Got::all)
            return got == Got::error ? VersionResourceRead::read_failed : VersionResourceRead::none;
        if (any_entry || le32(row) == id) {  // a name has the top bit set
            *data = le32(row + 4);
            return VersionResourceRead::found;
        }
    }
    return VersionResourceRead::none;
}

// ---- VS_VERSIONINFO: blocks of length, value length, type, key, value, children.

struct Block {
    uint32_t start;
    uint32_t end;           // start + wLength, within the parent
    uint32_t key;           // the key's first UTF-16 unit
    uint32_t key_end;       // past its terminator
    uint32_t value;         // aligned to 4
    uint32_t value_length;  // as stored: bytes, or UTF-16 units for text
    uint16_t type;
    uint32_t children;  // aligned to 4, never past end
};

uint32_t align4(uint32_t offset) {
    return (offset + 3u) & ~3u;
}

// The block at start, within limit; false when it does not fit.
bool read_block(const unsigned char* data, uint32_t start, uint32_t limit, Block* block) {
    if (start > limit || limit - start < 6) return false;
    const uint32_t length = le16(data + start);
    if (length < 6 || length > limit - start) return false;
    block->start = start;
    block->end = start + length;
    block->value_length = le16(data + start + 2);
    block->type = le16(data + start + 4);
    block->key = start + 6;
    uint32_t p = block->key;
    while (p + 2 <= block->end && le16(data + p) != 0)
        p += 2;
    if (p + 2 > block->end) return false;  // no terminator
    block->key_end = p + 2;
    block->value = align4(block->key_end);
    const uint32_t value_bytes =
        block->type == TEXT_VALUE ? 2 * block->value_length : block->value_length;
    uint64_t children = align4(block->value) + static_cast<uint64_t>(value_bytes);
    children = (children + 3u) & ~static_cast<uint64_t>(3u);
    block->children = children < block->end ? static_cast<uint32_t>(children) : block->end;
    if (block->value > block->end) block->value = block->end;
    return true;
}

bool key_is(const unsigned char* data, const Block& block, const char* name) {
    uint32_t p = block.key;
    for (; *name != '\0'; ++name, p += 2) {
        if (p + 2 > block.key_end || le16(data + p) != static_cast<unsigned char>(*name))
            return false;
    }
    return p + 2 == block.key_end;
}

// The next sibling's start, or end when none follows.
uint32_t next_block(const Block& block, uint32_t end) {
    const uint32_t next = align4(block.end);
    return next < end ? next : end;
}

// A String's value: the UTF-16 units before its terminator, which must lie
// within its wValueLength (and so within the block), or a reader of the C
// string goes on past the value. A length of 0 is the empty string.
VersionResourceRead take_string(const unsigned char* data, const Block& block, VersionString& out) {
    const uint32_t units = block.type == TEXT_VALUE ? block.value_length : block.value_length / 2;
    if (block.value > block.end || (block.end - block.value) / 2 < units)
        return VersionResourceRead::string_past_length;
    uint32_t length = 0;
    while (length < units && le16(data + block.value + 2 * length) != 0)
        ++length;
    if (length == units && units != 0) return VersionResourceRead::string_past_length;
    char16_t text[PRODUCT_NAME_MAX_UNITS + 1];
    out.cut = length > PRODUCT_NAME_MAX_UNITS;
    const uint32_t kept = out.cut ? PRODUCT_NAME_MAX_UNITS : length;
    for (uint32_t i = 0; i < kept; ++i)
        text[i] = static_cast<char16_t>(le16(data + block.value + 2 * i));
    text[kept] = 0;
    if (!utf16_to_utf8(text, out.text, PRODUCT_NAME_BYTES))
        out.text[0] = '\0';  // cannot happen: 3 bytes a unit fit
    out.found = true;
    return VersionResourceRead::found;
}

// The string tables of a StringFileInfo block: every value must end within
// its length; the first "ProductName" and "OriginalFilename" are kept. Two
// tables (two languages or code pages) let a reader choose: *tables counts
// them across the blocks.
VersionResourceRead read_string_tables(const unsigned char* data, const Block& info,
                                       uint32_t* tables, VersionResource& resource) {
    for (uint32_t t = info.children; t < info.end;) {
        Block table;
        if (!read_block(data, t, info.end, &table)) break;
        ++*tables;
        for (uint32_t s = table.children; s < table.end;) {
            Block text;
            if (!read_block(data, s, table.end, &text)) break;
            VersionString value{};
            if (take_string(data, text, value) != VersionResourceRead::found)
                return VersionResourceRead::string_past_length;
            VersionString* kept = nullptr;
            if (key_is(data, text, "ProductName")) kept = &resource.product_name;
            if (key_is(data, text, "OriginalFilename")) kept = &resource.original_filename;
            if (kept != nullptr && !kept->found) *kept = value;
            s = next_block(text, table.end);
        }
        t = next_block(table, info.end);
    }
    return VersionResourceRead::found;
}

VersionResourceRead parse_version_info(const unsigned char* data, uint32_t length,
                                       VersionResource& resource) {
    Block root;
    if (!read_block(data, 0, length, &root) || !key_is(data, root, "VS_VERSION_INFO"))
        return VersionResourceRead::none;
    if (root.value_length < FIXED_FILE_INFO_BYTES || root.value > root.end ||
        root.end - root.value < FIXED_FILE_INFO_BYTES)
        return VersionResourceRead::none;
    const unsigned char* fixed = data + root.value;
    if (le32(fixed) != FIXED_FILE_INFO_SIGNATURE) return VersionResourceRead::none;
    const uint32_t high = le32(fixed + 16);  // dwProductVersionMS
    const uint32_t low = le32(fixed + 20);   // dwProductVersionLS
    resource.product_version[0] = static_cast<uint16_t>(high >> 16);
    resource.product_version[1] = static_cast<uint16_t>(high & 0xFFFF);
    resource.product_version[2] = static_cast<uint16_t>(low >> 16);
    resource.product_version[3] = static_cast<uint16_t>(low & 0xFFFF);
    resource.file_flags = le32(fixed + 28) & le32(fixed + 24);  // dwFileFlags & dwFileFlagsMask
    resource.file_type = le32(fixed + 36);

    uint32_t tables = 0;
    for (uint32_t c = root.children; c < root.end;) {
        Block child;
        if (!read_block(data, c, root.end, &child)) break;
        if (key_is(data, child, "StringFileInfo")) {
            const VersionResourceRead read = read_string_tables(data, child, &tables, resource);
            if (read != VersionResourceRead::found) return read;
        }
        c = next_block(child, root.end);
    }
    return tables > 1 ? VersionResourceRead::several_languages : VersionResourceRead::found;
}

struct Bytes {
    const unsigned char* data;
    uint64_t length;
};

bool read_bytes(void* context, uint64_t offset, void* buffer, uint32_t capacity, uint32_t* count) {
    const Bytes& bytes = *static_cast<const Bytes*>(context);
    uint64_t n = offset < bytes.length ? bytes.length - offset : 0;
    if (n > capacity) n = capacity;
    if (n != 0) std::memcpy(buffer, bytes.data + offset, static_cast<size_t>(n));
    *count = static_cast<uint32_t>(n);
    return true;
}

bool read_held(void* context, uint64_t offset, void* buffer, uint32_t capacity, uint32_t* count) {
    return read_held_file_at(static_cast<HeldFile*>(context), offset, buffer, capacity, count);
}

}  // namespace

VersionResourceRead read_version_resource(const ByteSource& source, VersionResource& resource) {
    std::memset(&resource, 0, sizeof resource);
    static Image image;
    VersionResourceRead read = read_headers(source, image);
    if (read != VersionResourceRead::found) return read;

    uint64_t base = 0;
    uint32_t available = 0;
    if (!file_offset(image, image.resource_address, &base, &available))
        return VersionResourceRead::none;
    resource.machine = image.machine;
    resource.characteristics = image.characteristics;
    // Type RT_VERSION, then ID 1, then the one language: the first two lead
    // to directories, the last to the data entry.
    uint32_t entry = 0;
    uint32_t count = 0;
    read = find_entry(source, base, available, 0, false, RT_VERSION_ID, &entry, &count);
    if (read != VersionResourceRead::found) return read;
    if ((entry & SUBDIRECTORY_FLAG) == 0) return VersionResourceRead::none;
    read = find_entry(source, base, available, entry & ~SUBDIRECTORY_FLAG, false, VERSION_INFO_ID,
                      &entry, &count);
    if (read != VersionResourceRead::found) return read;
    if ((entry & SUBDIRECTORY_FLAG) == 0) return VersionResourceRead::none;
    read = find_entry(source, base, available, entry & ~SUBDIRECTORY_FLAG, true, 0, &entry, &count);
    if (read != VersionResourceRead::found) return read;
    if (count > 1) return VersionResourceRead::several_languages;
    if ((entry & SUBDIRECTORY_FLAG) != 0 || entry > available ||
        available - entry < RESOURCE_DATA_ENTRY_BYTES)
        return VersionResourceRead::none;
    unsigned char data_entry[RESOURCE_DATA_ENTRY_BYTES];
    Got got = read_exact(source, base + entry, data_entry, sizeof data_entry);
    if (got != Got::all)
        return got == Got::error ? VersionResourceRead::read_failed : VersionResourceRead::none;

    uint64_t data_offset = 0;
    uint32_t data_available = 0;
    if (!file_offset(image, le32(data_entry), &data_offset, &data_available))
        return VersionResourceRead::none;
    uint32_t size = le32(data_entry + 4);
    if (size > data_available) return VersionResourceRead::none;
    if (size > VERSION_DATA_MAX_BYTES) size = VERSION_DATA_MAX_BYTES;
    got = read_exact(source, data_offset, g_version_data, size);
    if (got != Got::all)
        return got == Got::error ? VersionResourceRead::read_failed : VersionResourceRead::none;
    return parse_version_info(g_version_data, size, resource);
}

VersionResourceRead read_version_resource(const unsigned char* bytes, uint64_t length,
                                          VersionResource& resource) {
    Bytes context = {bytes, length};
    return read_version_resource(ByteSource{read_bytes, &context}, resource);
}

VersionResourceRead read_version_resource(HeldFile* file, VersionResource& resource) {
    return read_version_resource(ByteSource{read_held, file}, resource);
}

void format_product_version(const VersionResource& resource, char text[VERSION_TEXT_SIZE]) {
    std::snprintf(text, VERSION_TEXT_SIZE, "%u.%u.%u.%u", resource.product_version[0],
                  resource.product_version[1], resource.product_version[2],
                  resource.product_version[3]);
}
