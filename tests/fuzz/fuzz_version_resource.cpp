// The version-resource reader over any bytes, as a pinned installer and the
// publisher's tool meet a signed file that the key's holder wrote: it never
// reads out of bounds (the sanitizers), answers the same twice, and the names
// it gives are terminated within their buffers. What it reads comes from the
// entry Windows reads, RT_VERSION ID 1 in its one language (a model of that
// lookup, written plainly over the whole buffer, says where that is and what
// product version its fixed information holds). The
// judgement over what it read answers `matches` only for the installer and
// version it was asked for.
#include <cstdint>
#include <cstring>

#include "fuzz_check.hpp"
#include "verify/version_resource.hpp"

namespace {

uint32_t at16(const uint8_t* data, size_t size, uint64_t offset) {
    return offset + 2 <= size ? static_cast<uint32_t>(data[offset] | (data[offset + 1] << 8)) : 0;
}

uint32_t at32(const uint8_t* data, size_t size, uint64_t offset) {
    return at16(data, size, offset) | (at16(data, size, offset + 2) << 16);
}

// Where the model finds RT_VERSION ID 1.
struct Id1 {
    int languages;          // -1 when the tree cannot be followed that far, 0 without ID 1
    uint64_t product_high;  // the first language's dwProductVersionMS and LS, as the
    uint64_t product_low;   // fixed information at 40 bytes into its data says (or ~0)
};

// The file offset of an address, through the first section that holds it.
bool map_address(const uint8_t* data, size_t size, uint64_t table, uint32_t sections,
                 uint32_t address, uint64_t* offset) {
    for (uint32_t i = 0; i < sections; ++i) {
        const uint64_t row = table + 40ull * i;
        const uint32_t start = at32(data, size, row + 12);
        if (address >= start && address - start < at32(data, size, row + 16)) {
            *offset = at32(data, size, row + 20) + static_cast<uint64_t>(address - start);
            return true;
        }
    }
    return false;
}

Id1 find_id1(const uint8_t* data, size_t size) {
    Id1 found = {-1, ~0ull, ~0ull};
    if (size < 64 || data[0] != 'M' || data[1] != 'Z') return found;
    const uint64_t pe = at32(data, size, 0x3C);
    if (pe + 24 > size || std::memcmp(data + pe, "PE\0\0", 4) != 0) return found;
    const uint32_t sections = at16(data, size, pe + 6);
    const uint32_t optional_size = at16(data, size, pe + 20);
    const uint32_t magic = at16(data, size, pe + 24);
    const uint32_t directories = magic == 0x20B ? 112 : magic == 0x10B ? 96 : 0;
    if (directories == 0 || optional_size < directories + 24) return found;
    const uint64_t table = pe + 24 + optional_size;
    uint64_t base = 0;
    if (!map_address(data, size, table, sections, at32(data, size, pe + 24 + directories + 16),
                     &base))
        return found;
    // Type 16, then ID 1: each an ID entry leading to a directory.
    static const uint32_t IDS[] = {16, 1};  // RT_VERSION, then VS_VERSION_INFO
    uint64_t directory = base;
    for (uint32_t id : IDS) {
        const uint32_t entries =
            at16(data, size, directory + 12) + at16(data, size, directory + 14);
        uint32_t next = 0;
        for (uint32_t k = 0; k < entries && next == 0; ++k) {
            const uint64_t row = directory + 16 + 8ull * k;
            if (row + 8 > size) return found;
            if (at32(data, size, row) == id) next = at32(data, size, row + 4);
        }
        if (next == 0) {
            found.languages = 0;
            return found;
        }
        if ((next & 0x80000000u) == 0) return found;
        directory = base + (next & 0x7FFFFFFFu);
    }
    if (directory + 24 > size) return found;
    found.languages =
        static_cast<int>(at16(data, size, directory + 12) + at16(data, size, directory + 14));
    const uint64_t entry = base + at32(data, size, directory + 20);
    uint64_t info = 0;
    if (entry + 16 <= size &&
        map_address(data, size, table, sections, at32(data, size, entry), &info) &&
        info + 64 <= size) {
        found.product_high = at32(data, size, info + 56);
        found.product_low = at32(data, size, info + 60);
    }
    return found;
}

bool terminated(const VersionString& value) {
    return std::memchr(value.text, '\0', sizeof value.text) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static VersionResource first, second;
    const VersionResourceRead read = read_version_resource(data, size, first);
    FUZZ_CHECK(read != VersionResourceRead::read_failed, "bytes in memory cannot fail to read");
    FUZZ_CHECK(read_version_resource(data, size, second) == read, "the same answer twice");
    const Id1 id1 = find_id1(data, size);
    if (read == VersionResourceRead::found) {
        FUZZ_CHECK(id1.languages == 1, "read from ID 1 in its one language");
        const uint64_t high =
            static_cast<uint64_t>(first.product_version[0]) << 16 | first.product_version[1];
        const uint64_t low =
            static_cast<uint64_t>(first.product_version[2]) << 16 | first.product_version[3];
        FUZZ_CHECK(high == id1.product_high && low == id1.product_low,
                   "the product version is ID 1's");
    } else if (read != VersionResourceRead::none) {
        FUZZ_CHECK(id1.languages >= 1, "refused for what ID 1 holds");
    }
    if (id1.languages > 1)
        FUZZ_CHECK(
            read == VersionResourceRead::several_languages || read == VersionResourceRead::none,
            "several languages under ID 1 are refused");
    if (read != VersionResourceRead::found) return 0;
    FUZZ_CHECK(terminated(first.product_name) && terminated(first.original_filename),
               "the names are terminated");
    FUZZ_CHECK(std::memcmp(&first, &second, sizeof first) == 0, "the same resource twice");
    const InstallerName expected = {"Trevalon", "Trevalon-setup.exe"};
    const InstallerIdentityReport report =
        judge_installer_identity(read, first, expected, "0.8.0", "0.7.19");
    if (report.verdict == InstallerIdentity::matches) {
        FUZZ_CHECK(std::strcmp(first.product_name.text, "Trevalon") == 0 &&
                       std::strcmp(first.original_filename.text, "Trevalon-setup.exe") == 0,
                   "matches only the installer asked for");
        FUZZ_CHECK(
            first.machine == IMAGE_MACHINE_AMD64 &&
                (first.characteristics & (IMAGE_DLL | IMAGE_EXECUTABLE)) == IMAGE_EXECUTABLE &&
                first.file_type == FILE_TYPE_APP && (first.file_flags & FILE_FLAGS_REFUSED) == 0,
            "matches only an x86-64 program in a release build");
        FUZZ_CHECK(first.product_version[0] == 0 && first.product_version[1] == 8 &&
                       first.product_version[2] == 0 && first.product_version[3] == 0,
                   "matches only the version asked for");
    }
    return 0;
}
