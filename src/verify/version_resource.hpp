// What a Windows program says it is: the product version, file type and
// flags of its version resource (VS_FIXEDFILEINFO), the "ProductName" and
// "OriginalFilename" of its string table, and the machine and kind of its
// image. A pinned build reads them from the signed installer, through the
// held file, because the signature vouches for these bytes and not for the
// manifest; the publisher's tool reads them with the same code on any
// platform. The bytes are untrusted: every offset is checked against what was
// read, every loop advances, and all of it fits in fixed buffers.
#pragma once

#include <cstdint>

#include "os/os.hpp"
#include "records.hpp"

// Longest string value kept ("ProductName", "OriginalFilename"), in UTF-16
// units; a longer one is marked cut.
constexpr int PRODUCT_NAME_MAX_UNITS = 127;
constexpr int PRODUCT_NAME_BYTES = 3 * PRODUCT_NAME_MAX_UNITS + 1;
// The version resource's bytes read at most; a real one is under 2 KiB.
constexpr uint32_t VERSION_DATA_MAX_BYTES = 8192;
constexpr int VERSION_TEXT_SIZE = 24;  // "65535.65535.65535.65535"

// The image a pinned program starts: IMAGE_FILE_HEADER's Machine and
// Characteristics, VS_FIXEDFILEINFO's dwFileType and dwFileFlags.
constexpr uint16_t IMAGE_MACHINE_AMD64 = 0x8664;
constexpr uint16_t IMAGE_EXECUTABLE = 0x0002;  // IMAGE_FILE_EXECUTABLE_IMAGE
constexpr uint16_t IMAGE_DLL = 0x2000;         // IMAGE_FILE_DLL
constexpr uint32_t FILE_TYPE_APP = 1;          // VFT_APP
// VS_FF_DEBUG, VS_FF_PRERELEASE, VS_FF_PRIVATEBUILD, VS_FF_SPECIALBUILD
constexpr uint32_t FILE_FLAGS_REFUSED = 0x01 | 0x02 | 0x08 | 0x20;

// A string value of the resource's string table, UTF-8, ill-formed UTF-16 as U+FFFD.
struct VersionString {
    bool found;
    bool cut;  // longer than PRODUCT_NAME_MAX_UNITS
    char text[PRODUCT_NAME_BYTES];
};

struct VersionResource {
    uint16_t product_version[4];  // most significant first
    uint16_t machine;             // of the image
    uint16_t characteristics;     // of the image
    uint32_t file_type;           // dwFileType
    uint32_t file_flags;          // dwFileFlags & dwFileFlagsMask
    VersionString product_name;
    VersionString original_filename;
};

enum class VersionResourceRead {
    found,  // the resource and its fixed information were read
    none,   // not a PE file, no version resource, or one cut short or malformed
    // Two readers could take two things from it: under RT_VERSION ID 1 more
    // than one language (Windows picks one by the user's language), or more
    // than one string table.
    several_languages,
    // A string value whose terminator is not within its wValueLength: what a
    // reader of the C string takes is not what the value says.
    string_past_length,
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
// resource and the image say. A pinned program starts nothing else.
enum class InstallerIdentity {
    matches,
    no_resource,         // no version resource, or none that could be read
    several_languages,   // read as VersionResourceRead::several_languages
    string_past_length,  // read as VersionResourceRead::string_past_length
    other_product,       // its ProductName is not the build's product name
    other_file_name,     // its OriginalFilename is not the build's
    other_machine,       // not an x86-64 image
    dll,                 // a DLL
    not_executable,      // not an executable image
    not_an_application,  // its dwFileType is not VFT_APP
    special_build,       // a debug, prerelease, private or special build
    below_floor,         // its product version is below the built-in release
    other_version,       // its product version is not the manifest's (by compare_versions)
};

// The installer a build is made for: TREVALON_PRODUCT_NAME and
// TREVALON_INSTALLER_ORIGINAL_FILENAME.
struct InstallerName {
    const char* product_name;
    const char* original_filename;
};

constexpr int IDENTITY_DETAIL_SIZE = 64;

// The verdict and what it was drawn from, for the line that tells why.
struct InstallerIdentityReport {
    InstallerIdentity verdict;
    char version[VERSION_TEXT_SIZE];   // the file's product version, "" without a resource
    char product[PRODUCT_NAME_BYTES];  // its ProductName, control characters as '?'
    char original_filename[PRODUCT_NAME_BYTES];  // likewise
    // other_machine: "ARM64 (0xAA64)"; not_an_application: "VFT_DLL";
    // special_build: the refused flags, "DEBUG|PRERELEASE".
    char detail[IDENTITY_DETAIL_SIZE];
    InstallerName expected;
    const char* floor_version;  // nullptr when not held to one
};

// Judges a read resource: who it says it is (product, original file name),
// what the image is (machine, a program, an application, a release build),
// then the floor (skipped when floor_version is nullptr), then the
// manifest's version.
InstallerIdentityReport judge_installer_identity(VersionResourceRead read,
                                                 const VersionResource& resource,
                                                 const InstallerName& expected,
                                                 const char* manifest_version,
                                                 const char* floor_version);

// The build's installer (TREVALON_PRODUCT_NAME,
// TREVALON_INSTALLER_ORIGINAL_FILENAME), generated.
extern const InstallerName INSTALLER_NAME;

// The pinned program's question: the held file judged against this build's
// installer, its built-in release as the floor, and the release's version.
InstallerIdentityReport identify_installer(HeldFile* file, const ReleaseRecord& release);

// The one bilingual line that refuses the file, or nullptr when it matches.
const char* identity_refusal_line(const InstallerIdentityReport& report,
                                  const ReleaseRecord& release);
// identify_installer and its line: the question a pinned program's table names.
const char* installer_identity_refusal(HeldFile* file, const ReleaseRecord& release);
