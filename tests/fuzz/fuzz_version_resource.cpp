// The version-resource reader over any bytes, as a pinned installer and the
// publisher's tool meet a signed file that the key's holder wrote: it never
// reads out of bounds (the sanitizers), answers the same twice, and the names
// it gives are terminated within their buffers. What it reads comes from the
// entry Windows reads, RT_VERSION ID 1 in its one language (a model of that
// lookup, written plainly over the whole buffer, says where that is). The
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

// The number of languages under RT_VERSION ID 1, or 0 when the tree has no
// such entry; -1 when the headers or the tree cannot be followed that far.
int id1_languages(const uint8_t* data, size_t size) {
    if (size < 64 || data[0] != 'M' || data[1] != 'Z') return -1;
    const uint64_t pe = at32(data, size, 0x3C);
    if (pe + 24 > size || std::memcmp(data + pe, "PE\0\0", 4) != 0) return -1;
    const uint32_t sections = at16(data, size, pe + 6);
    const uint32_t optional_size = at16(data, size, pe + 20);
    const uint32_t magic = at16(data, size, pe + 24);
    const uint32_t directories = magic == 0x20B ? 112 : magic == 0x10B ? 96 : 0;
    if (directories == 0 || optional_size < directories + 24) return -1;
    const uint32_t address = at32(data, size, pe + 24 + directories + 16);
    uint64_t base = 0;
    bool mapped = false;
    for (uint32_t i = 0; i < sections && !mapped; ++i) {
        const uint64_t row = pe + 24 + optional_size + 40ull * i;
        const uint32_t start = at32(data, size, row + 12);
        if (address >= start && address - start < at32(data, size, row + 16)) {
            base = at32(data, size, row + 20) + (address - start);
            mapped = true;
        }
    }
    if (!mapped) return -1;
    // Type 16, then ID 1: each an ID entry leading to a directory.
    uint64_t directory = base;
    static const uint32_t IDS[] = {16, 1};  // RT_VERSION, then VS_VERSION_INFO
    for (uint32_t id : IDS) {
        const uint32_t entries =
            at16(data, size, directory + 12) + at16(data, size, directory + 14);
        uint32_t next = 0;
        for (uint32_t k = 0; k < entries && next == 0; ++k) {
            const uint64_t row = directory + 16 + 8ull * k;
            if (row + 8 > size) return -1;
            if (at32(data, size, row) == id) next = at32(data, size, row + 4);
        }
        if (next == 0) return 0;
        if ((next & 0x80000000u) == 0) return -1;
        directory = base + (next & 0x7FFFFFFFu);
    }
    if (directory + 16 > size) return -1;
    return static_cast<int>(at16(data, size, directory + 12) + at16(data, size, directory + 14));
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
    if (read == VersionResourceRead::found) {
        FUZZ_CHECK(id1_languages(data, size) == 1, "read from ID 1 in its one language");
    } else if (read != VersionResourceRead::none) {
        FUZZ_CHECK(id1_languages(data, size) >= 1, "refused for what ID 1 holds");
    }
    if (id1_languages(data, size) > 1)
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
