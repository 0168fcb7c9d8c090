// The version-resource reader over any bytes, as a pinned installer and the
// publisher's tool meet a signed file that the key's holder wrote: it never
// reads out of bounds (the sanitizers), answers the same twice, and a name
// it gives is terminated within its buffer. The judgement over what it read
// answers `matches` only for the product and version it was asked for.
#include <cstdint>
#include <cstring>

#include "fuzz_check.hpp"
#include "verify/version_resource.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static VersionResource first, second;
    const VersionResourceRead read = read_version_resource(data, size, first);
    FUZZ_CHECK(read != VersionResourceRead::read_failed, "bytes in memory cannot fail to read");
    FUZZ_CHECK(read_version_resource(data, size, second) == read, "the same answer twice");
    if (read != VersionResourceRead::found) return 0;
    FUZZ_CHECK(std::memchr(first.product_name, '\0', sizeof first.product_name) != nullptr,
               "the name is terminated");
    FUZZ_CHECK(std::memcmp(&first, &second, sizeof first) == 0, "the same resource twice");
    char version[VERSION_TEXT_SIZE];
    format_product_version(first, version);
    const InstallerIdentityReport report =
        judge_installer_identity(read, first, "Trevalon", "0.8.0", "0.7.19");
    if (report.verdict == InstallerIdentity::matches) {
        FUZZ_CHECK(first.has_product_name && std::strcmp(first.product_name, "Trevalon") == 0,
                   "matches only the product asked for");
        FUZZ_CHECK(first.product_version[0] == 0 && first.product_version[1] == 8 &&
                       first.product_version[2] == 0 && first.product_version[3] == 0,
                   "matches only the version asked for");
    }
    return 0;
}
