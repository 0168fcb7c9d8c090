// What a Windows program says it is: the product version of its version
// resource (VS_FIXEDFILEINFO) and the "ProductName" of its string table. A
// pinned build reads them from the signed installer, through the held file,
// because the signature vouches for these bytes and not for the manifest; the
// publisher's tool reads them with the same code on any platform. The bytes
// are untrusted: every offset is checked against what was read, every loop
// advances, and all of it fits in fixed buffers.
#pragma once

#include <cstdint>

#include "os/os.hpp"
#include "records.hpp"

// Longest "ProductName" kept, in UTF-16 units; a longer one is marked cut.
constexpr int PRODUCT_NAME_MAX_UNITS = 127;
constexpr int PRODUCT_NAME_BYTES = 3 * PRODUCT_NAME_MAX_UNITS + 1;
// The version resource's bytes read at most; a real one is under 2 KiB.
constexpr uint32_t VERSION_DATA_MAX_BYTES = 8192;
constexpr int VERSION_TEXT_SIZE = 24;  // "65535.65535.65535.65535"

struct VersionResource {
    uint16_t product_version[4];  // most significant first
    bool has_product_name;
    bool product_name_cut;                  // longer than PRODUCT_NAME_MAX_UNITS
    char product_name[PRODUCT_NAME_BYTES];  // UTF-8, ill-formed UTF-16 as U+FFFD
};

enum class VersionResourceRead {
    found,  // the resource and its fixed information were read
    none,   // not a PE file, no version resource, or one cut short or malformed
    read_failed,
};

// Reads count bytes at offset; false on an error, a short count at the end.
struct ByteSource {
    bool (*read_at)(void* context, uint64_t offset, void* buffer, uint32_t capacity,
                    uint32_t* count);
    void* context;
};

VersionResourceRead read_version_resource(const ByteSource& source, VersionResource& resource);
// Over bytes in memory, and over a held file (from any position).
VersionResourceRead read_version_resource(const unsigned char* bytes, uint64_t length,
                                          VersionResource& resource);
VersionResourceRead read_version_resource(HeldFile* file, VersionResource& resource);

// "a.b.c.d"
void format_product_version(const VersionResource& resource, char text[VERSION_TEXT_SIZE]);

// Whether the installer is the one the manifest names, as the version
// resource says. A pinned program starts nothing else.
enum class InstallerIdentity {
    matches,
    no_resource,    // no version resource, or none that could be read
    other_product,  // its ProductName is not the build's product name
    below_floor,    // its product version is below the built-in release
    other_version,  // its product version is not the manifest's (by compare_versions)
};

// The verdict and what it was drawn from, for the line that tells why.
struct InstallerIdentityReport {
    InstallerIdentity verdict;
    char version[VERSION_TEXT_SIZE];   // the file's product version, "" without a resource
    char product[PRODUCT_NAME_BYTES];  // its ProductName, control characters as '?'
    const char* expected_product;
    const char* floor_version;  // nullptr when not held to one
};

// Judges a read resource: the product first, then the floor (skipped when
// floor_version is nullptr), then the manifest's version.
InstallerIdentityReport judge_installer_identity(VersionResourceRead read,
                                                 const VersionResource& resource,
                                                 const char* product_name,
                                                 const char* manifest_version,
                                                 const char* floor_version);

// The build's product name (TREVALON_PRODUCT_NAME), generated.
extern const char INSTALLER_PRODUCT_NAME[];

// The pinned program's question: the held file judged against this build's
// product name, its built-in release as the floor, and the release's version.
InstallerIdentityReport identify_installer(HeldFile* file, const ReleaseRecord& release);

// The one bilingual line that refuses the file, or nullptr when it matches.
const char* identity_refusal_line(const InstallerIdentityReport& report,
                                  const ReleaseRecord& release);
// identify_installer and its line: the question a pinned program's table names.
const char* installer_identity_refusal(HeldFile* file, const ReleaseRecord& release);
