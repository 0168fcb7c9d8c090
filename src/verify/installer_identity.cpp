// The judgement on what a version resource says: a pinned program starts
// only the installer it was built for (its product name and original file
// name, an x86-64 program, a release build), at the version the manifest
// names and never below its built-in release. The manifest's version is text that a
// source wrote; the resource's is in the signed bytes, so it is the one that
// counts. Versions are compared by the release order (compare_versions), so
// the four numbers 0.8.0.0 are the release 0.8.0.
#include <cstdio>
#include <cstring>

#include "manifest/manifest.hpp"
#include "verify/version_resource.hpp"

namespace {

// The name as it may be shown on a console: control characters become '?'.
void printable_copy(const char* name, char out[PRODUCT_NAME_BYTES]) {
    size_t n = 0;
    for (; name[n] != '\0' && n + 1 < PRODUCT_NAME_BYTES; ++n) {
        const unsigned char c = static_cast<unsigned char>(name[n]);
        out[n] = c < 0x20 || c == 0x7F ? '?' : name[n];
    }
    out[n] = '\0';
}

bool string_is(const VersionString& value, const char* expected) {
    return value.found && !value.cut && std::strcmp(value.text, expected) == 0;
}

struct Named {
    uint32_t value;
    const char* name;
};

const Named MACHINES[] = {
    {0x014C, "i386"}, {0x01C0, "ARM"}, {0x01C4, "ARMv7"}, {0x0200, "IA-64"}, {0xAA64, "ARM64"},
};

const Named FILE_TYPES[] = {
    {0, "VFT_UNKNOWN"}, {1, "VFT_APP"}, {2, "VFT_DLL"},        {3, "VFT_DRV"},
    {4, "VFT_FONT"},    {5, "VFT_VXD"}, {7, "VFT_STATIC_LIB"},
};

const Named REFUSED_FLAGS[] = {
    {0x01, "DEBUG"},
    {0x02, "PRERELEASE"},
    {0x08, "PRIVATEBUILD"},
    {0x20, "SPECIALBUILD"},
};

void machine_text(uint16_t machine, char text[IDENTITY_DETAIL_SIZE]) {
    for (const Named& m : MACHINES) {
        if (m.value == machine) {
            std::snprintf(text, IDENTITY_DETAIL_SIZE, "%s (0x%04X)", m.name, machine);
            return;
        }
    }
    std::snprintf(text, IDENTITY_DETAIL_SIZE, "0x%04X", machine);
}

void file_type_text(uint32_t file_type, char text[IDENTITY_DETAIL_SIZE]) {
    for (const Named& t : FILE_TYPES) {
        if (t.value == file_type) {
            std::snprintf(text, IDENTITY_DETAIL_SIZE, "%s", t.name);
            return;
        }
    }
    std::snprintf(text, IDENTITY_DETAIL_SIZE, "0x%X", file_type);
}

void flags_text(uint32_t flags, char text[IDENTITY_DETAIL_SIZE]) {
    int n = 0;
    text[0] = '\0';
    for (const Named& f : REFUSED_FLAGS) {  // 42 bytes at most: they all fit
        if ((flags & f.value) == 0) continue;
        n += std::snprintf(text + n, static_cast<size_t>(IDENTITY_DETAIL_SIZE - n), "%s%s",
                           n == 0 ? "" : "|", f.name);
    }
}

}  // namespace

InstallerIdentityReport judge_installer_identity(VersionResourceRead read,
                                                 const VersionResource& resource,
                                                 const InstallerName& expected,
                                                 const char* manifest_version,
                                                 const char* floor_version) {
    InstallerIdentityReport report;
    std::memset(&report, 0, sizeof report);
    report.expected = expected;
    report.floor_version = floor_version;
    switch (read) {
        case VersionResourceRead::found:
            break;
        case VersionResourceRead::several_languages:
            report.verdict = InstallerIdentity::several_languages;
            return report;
        case VersionResourceRead::string_past_length:
            report.verdict = InstallerIdentity::string_past_length;
            return report;
        case VersionResourceRead::none:
        case VersionResourceRead::read_failed:
            report.verdict = InstallerIdentity::no_resource;
            return report;
    }
    format_product_version(resource, report.version);
    printable_copy(resource.product_name.text, report.product);
    printable_copy(resource.original_filename.text, report.original_filename);
    const uint32_t flags = resource.file_flags & FILE_FLAGS_REFUSED;
    if (!string_is(resource.product_name, expected.product_name)) {
        report.verdict = InstallerIdentity::other_product;
    } else if (!string_is(resource.original_filename, expected.original_filename)) {
        report.verdict = InstallerIdentity::other_file_name;
    } else if (resource.machine != IMAGE_MACHINE_AMD64) {
        report.verdict = InstallerIdentity::other_machine;
        machine_text(resource.machine, report.detail);
    } else if ((resource.characteristics & IMAGE_DLL) != 0) {
        report.verdict = InstallerIdentity::dll;
    } else if ((resource.characteristics & IMAGE_EXECUTABLE) == 0) {
        report.verdict = InstallerIdentity::not_executable;
    } else if (resource.file_type != FILE_TYPE_APP) {
        report.verdict = InstallerIdentity::not_an_application;
        file_type_text(resource.file_type, report.detail);
    } else if (flags != 0) {
        report.verdict = InstallerIdentity::special_build;
        flags_text(flags, report.detail);
    } else if (floor_version != nullptr && compare_versions(report.version, floor_version) < 0) {
        report.verdict = InstallerIdentity::below_floor;
    } else if (compare_versions(report.version, manifest_version) != 0) {
        report.verdict = InstallerIdentity::other_version;
    } else {
        report.verdict = InstallerIdentity::matches;
    }
    return report;
}

InstallerIdentityReport identify_installer(HeldFile* file, const ReleaseRecord& release) {
    static VersionResource resource;
    const VersionResourceRead read = read_version_resource(file, resource);
    return judge_installer_identity(read, resource, INSTALLER_NAME, release.version,
                                    BUILTIN_RELEASE.version);
}

const char* identity_refusal_line(const InstallerIdentityReport& report,
                                  const ReleaseRecord& release) {
    static char line[2 * PRODUCT_NAME_BYTES + 2 * PRODUCT_NAME_BYTES + 256];
    switch (report.verdict) {
        case InstallerIdentity::matches:
            return nullptr;
        case InstallerIdentity::no_resource:
            return "   版本信息无效: 文件没有版本资源 / Version refused: the file has no version "
                   "resource";
        case InstallerIdentity::several_languages:
            return "   版本信息无效: 版本资源有多种语言 / Version refused: the version resource is "
                   "in more than one language";
        case InstallerIdentity::string_past_length:
            return "   版本信息无效: 版本资源的字符串超出其长度 / Version refused: a string of the "
                   "version resource runs past its length";
        case InstallerIdentity::other_product:
            std::snprintf(line, sizeof line,
                          "   版本信息无效: 产品名称为 \"%s\" 而非 \"%s\" / Version refused: the "
                          "product is \"%s\", not \"%s\"",
                          report.product, report.expected.product_name, report.product,
                          report.expected.product_name);
            break;
        case InstallerIdentity::other_file_name:
            std::snprintf(line, sizeof line,
                          "   版本信息无效: 原始文件名为 \"%s\" 而非 \"%s\" / Version refused: "
                          "the original file name is \"%s\", not \"%s\"",
                          report.original_filename, report.expected.original_filename,
                          report.original_filename, report.expected.original_filename);
            break;
        case InstallerIdentity::other_machine:
            std::snprintf(line, sizeof line,
                          "   版本信息无效: 文件的机器类型为 %s 而非 x86-64 / Version refused: the "
                          "file is for %s, not x86-64",
                          report.detail, report.detail);
            break;
        case InstallerIdentity::dll:
            return "   版本信息无效: 文件是 DLL 而非程序 / Version refused: the file is a DLL, not "
                   "a "
                   "program";
        case InstallerIdentity::not_executable:
            return "   版本信息无效: 文件不是可执行映像 / Version refused: the file is not an "
                   "executable image";
        case InstallerIdentity::not_an_application:
            std::snprintf(
                line, sizeof line,
                "   版本信息无效: 文件类型为 %s 而非 VFT_APP / Version refused: the file's "
                "type is %s, not VFT_APP",
                report.detail, report.detail);
            break;
        case InstallerIdentity::special_build:
            std::snprintf(line, sizeof line,
                          "   版本信息无效: 文件标为 %s 版本 / Version refused: the file is marked "
                          "as a %s build",
                          report.detail, report.detail);
            break;
        case InstallerIdentity::below_floor:
            std::snprintf(line, sizeof line,
                          "   版本信息无效: 文件版本 %s 低于内置版本 %s / Version refused: the "
                          "file's version %s is below the built-in release %s",
                          report.version, report.floor_version, report.version,
                          report.floor_version);
            break;
        case InstallerIdentity::other_version:
            std::snprintf(line, sizeof line,
                          "   版本信息无效: 文件版本 %s 与清单版本 %s 不符 / Version refused: the "
                          "file's version %s is not the manifest's %s",
                          report.version, release.version, report.version, release.version);
            break;
    }
    return line;
}

const char* installer_identity_refusal(HeldFile* file, const ReleaseRecord& release) {
    return identity_refusal_line(identify_installer(file, release), release);
}
