// The judgement on what a version resource says: a pinned program starts
// only the product it was built for, at the version the manifest names and
// never below its built-in release. The manifest's version is text that a
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

}  // namespace

InstallerIdentityReport judge_installer_identity(VersionResourceRead read,
                                                 const VersionResource& resource,
                                                 const char* product_name,
                                                 const char* manifest_version,
                                                 const char* floor_version) {
    InstallerIdentityReport report;
    std::memset(&report, 0, sizeof report);
    report.expected_product = product_name;
    report.floor_version = floor_version;
    if (read != VersionResourceRead::found) {
        report.verdict = InstallerIdentity::no_resource;
        return report;
    }
    format_product_version(resource, report.version);
    printable_copy(resource.product_name, report.product);
    if (!resource.has_product_name || resource.product_name_cut ||
        std::strcmp(resource.product_name, product_name) != 0) {
        report.verdict = InstallerIdentity::other_product;
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
    return judge_installer_identity(read, resource, INSTALLER_PRODUCT_NAME, release.version,
                                    BUILTIN_RELEASE.version);
}

const char* identity_refusal_line(const InstallerIdentityReport& report,
                                  const ReleaseRecord& release) {
    static char line[2 * PRODUCT_NAME_BYTES + 256];
    switch (report.verdict) {
        case InstallerIdentity::matches:
            return nullptr;
        case InstallerIdentity::no_resource:
            return "   版本信息无效: 文件没有版本资源 / Version refused: the file has no version "
                   "resource";
        case InstallerIdentity::other_product:
            std::snprintf(line, sizeof line,
                          "   版本信息无效: 产品名称为 \"%s\" 而非 \"%s\" / Version refused: the "
                          "product is \"%s\", not \"%s\"",
                          report.product, report.expected_product, report.product,
                          report.expected_product);
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
