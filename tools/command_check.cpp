// `check MANIFEST [--installer FILE]`: reads a manifest file as the installer
// would receive it and prints the release line the installer would show for
// it, or the line and rule it breaks. It is the publisher's last look before
// a manifest goes out; `mirrors` and `sources` judge a MANIFEST given to them
// the same way. With --installer it also looks at the file the manifest names
// as a pinned installer does once the signature has passed: the size, the
// digest, and the version resource read and judged by the installer's own
// code (judge_installer_identity), since a pinned installer starts nothing
// whose resource names another product, another original file name or
// another version, nor anything but an x86-64 program in a release build.
#include <cstring>

#include "manifest/manifest.hpp"
#include "os/os.hpp"
#include "tool_core.hpp"
#include "verify/sha256.hpp"
#include "verify/verify.hpp"
#include "verify/version_resource.hpp"

namespace tool {

namespace {

// A published manifest is asked for at the ModelScope source first, so that
// is the source the installer's release line names when every source serves
// the same manifest.
constexpr const char* FIRST_SOURCE_LABEL = NODE_LABELS[0];

bool pinned() {
    return signer_pins().count != 0;
}

// The trap of the version order: a hotfix named after the built-in release
// (the release's version and more) reads as after it but sorts before it, and
// a pinned build passes it over.
void warn_below_floor(const char* path, const ReleaseRecord& release) {
    const size_t floor_length = std::strlen(BUILTIN_RELEASE.version);
    if (!pinned() || release.version[0] == '\0' || below_version_floor(release) == nullptr ||
        std::strncmp(release.version, BUILTIN_RELEASE.version, floor_length) != 0)
        return;
    say(Stream::out,
        "%s: warning: %s sorts below the built-in release %s: a part with text after its "
        "number comes before the plain number, so %s-1, %sa and %s.hotfix all come before %s; "
        "name a hotfix %s.1 or a higher release\n",
        path, release.version, BUILTIN_RELEASE.version, BUILTIN_RELEASE.version,
        BUILTIN_RELEASE.version, BUILTIN_RELEASE.version, BUILTIN_RELEASE.version,
        BUILTIN_RELEASE.version);
}

// The installer against the manifest: EXIT_TOOL_OK after its line, or
// EXIT_TOOL_FAILED after the refusal.
int check_installer(const char* path, const ReleaseRecord& release) {
    uint64_t size = 0;
    char hex[SHA256_HEX_SIZE];
    HeldFile* file = hold_file(path);
    if (file == nullptr || !sha256_file(path, hex, size)) {
        if (file != nullptr) release_file(file);
        say(Stream::err, "%s: check: cannot read '%s'\n", TOOL, path);
        return EXIT_TOOL_FAILED;
    }
    if (size != release.size) {
        release_file(file);
        say(Stream::out, "%s: refused: %llu bytes; the manifest names %llu\n", path,
            static_cast<unsigned long long>(size), static_cast<unsigned long long>(release.size));
        return EXIT_TOOL_FAILED;
    }
    if (!digest_text_matches(release.sha256, hex)) {
        release_file(file);
        say(Stream::out, "%s: refused: SHA-256 %s; the manifest names %s\n", path, hex,
            release.sha256);
        return EXIT_TOOL_FAILED;
    }
    static VersionResource resource;
    const VersionResourceRead read = read_version_resource(file, resource);
    release_file(file);
    if (read == VersionResourceRead::read_failed) {
        say(Stream::err, "%s: check: cannot read '%s'\n", TOOL, path);
        return EXIT_TOOL_FAILED;
    }
    const InstallerIdentityReport report =
        judge_installer_identity(read, resource, INSTALLER_NAME, release.version,
                                 pinned() ? BUILTIN_RELEASE.version : nullptr);
    switch (report.verdict) {
        case InstallerIdentity::matches:
            say(Stream::out, "%s: product \"%s\", version %s: the installer the manifest names\n",
                path, report.product, report.version);
            return EXIT_TOOL_OK;
        case InstallerIdentity::no_resource:
            say(Stream::out,
                "%s: refused: no version resource; a pinned installer starts only a file whose "
                "version resource names the product \"%s\" and the manifest's version\n",
                path, INSTALLER_NAME.product_name);
            break;
        case InstallerIdentity::several_languages:
            say(Stream::out,
                "%s: refused: its version resource is in more than one language (RT_VERSION ID 1 "
                "in several languages, or several string tables)\n",
                path);
            break;
        case InstallerIdentity::string_past_length:
            say(Stream::out,
                "%s: refused: a string of its version resource runs past its wValueLength\n", path);
            break;
        case InstallerIdentity::other_product:
            say(Stream::out, "%s: refused: its ProductName is \"%s\", not \"%s\"\n", path,
                report.product, INSTALLER_NAME.product_name);
            break;
        case InstallerIdentity::other_file_name:
            say(Stream::out, "%s: refused: its OriginalFilename is \"%s\", not \"%s\"\n", path,
                report.original_filename, INSTALLER_NAME.original_filename);
            break;
        case InstallerIdentity::other_machine:
            say(Stream::out, "%s: refused: it is an image for %s, not x86-64 (0x8664)\n", path,
                report.detail);
            break;
        case InstallerIdentity::dll:
            say(Stream::out, "%s: refused: it is a DLL (IMAGE_FILE_DLL), not a program\n", path);
            break;
        case InstallerIdentity::not_executable:
            say(Stream::out,
                "%s: refused: it is not an executable image (IMAGE_FILE_EXECUTABLE_IMAGE)\n", path);
            break;
        case InstallerIdentity::not_an_application:
            say(Stream::out, "%s: refused: its file type is %s, not VFT_APP\n", path,
                report.detail);
            break;
        case InstallerIdentity::special_build:
            say(Stream::out, "%s: refused: its version resource marks it as a %s build\n", path,
                report.detail);
            break;
        case InstallerIdentity::below_floor:
            say(Stream::out,
                "%s: refused: its product version %s is below the built-in release %s\n", path,
                report.version, report.floor_version);
            break;
        case InstallerIdentity::other_version:
            say(Stream::out,
                "%s: refused: its product version %s is not the manifest's version %s\n", path,
                report.version, release.version);
            break;
    }
    return EXIT_TOOL_FAILED;
}

}  // namespace

int command_check(const Arguments& args) {
    if (args.count == 0) return usage_error("check", "missing MANIFEST");
    if (args.count > 1) return usage_error("check", "one MANIFEST only, got %d", args.count);
    ReleaseRecord release = {};
    int result = load_manifest("check", args.operands[0], release);
    if (result != EXIT_TOOL_OK) {
        warn_below_floor(args.operands[0], release);
        return result;
    }
    print_release_line(release, FIRST_SOURCE_LABEL);
    return args.installer != nullptr ? check_installer(args.installer, release) : EXIT_TOOL_OK;
}

}  // namespace tool
