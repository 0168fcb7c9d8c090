// The version resource of real PE files (built by windres and the mingw-w64
// linker, see CMakeLists.txt), the judgement a pinned program and the
// publisher's tool draw from it, and a pinned verify_download reading it
// through the held file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_os.hpp"
#include "test_support.hpp"
#include "verify/sha256.hpp"
#include "verify/verify.hpp"
#include "verify/version_resource.hpp"

namespace {

std::string fixture(const std::string& name) {
    const std::string bytes = read_file(std::string(FIXTURE_DIR) + name);
    if (bytes.size() < 1024) ADD_FAILURE() << "no fixture " << name;
    return bytes;
}

VersionResourceRead read_bytes(const std::string& bytes, VersionResource& resource) {
    return read_version_resource(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                 resource);
}

std::string version_text(const VersionResource& resource) {
    char text[VERSION_TEXT_SIZE];
    format_product_version(resource, text);
    return text;
}

TEST(VersionResource, ReadsTheProductVersionAndName) {
    struct Case {
        const char* name;
        std::string bytes;
        VersionResourceRead read;
        const char* version;  // when found
        const char* product;
    };
    const Case cases[] = {
        {"the programs' own resource (src/res/program.rc.in)", fixture("program.exe"),
         VersionResourceRead::found, PROGRAM_VERSION ".0", "Trevalon Online Installer"},
        {"an installer, four-part version", fixture("installer-1.2.3.4.exe"),
         VersionResourceRead::found, "1.2.3.4", "Trevalon"},
        {"an installer, 0.8.0.0", fixture("installer-0.8.0.0.exe"), VersionResourceRead::found,
         "0.8.0.0", "Trevalon"},
        {"an installer, three-part version in the script", fixture("installer-three-part.exe"),
         VersionResourceRead::found, "0.9.1.0", "Trevalon"},
        {"another product", fixture("installer-other-product.exe"), VersionResourceRead::found,
         "0.8.0.0", "Trevalon Online Installer"},
        {"a program without resources", fixture("no-resource.exe"), VersionResourceRead::none,
         nullptr, nullptr},
        {"not a PE file", "abc", VersionResourceRead::none, nullptr, nullptr},
        {"empty", "", VersionResourceRead::none, nullptr, nullptr},
        {"MZ and nothing else", "MZ", VersionResourceRead::none, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VersionResource resource;
        EXPECT_EQ(read_bytes(c.bytes, resource), c.read);
        if (c.read != VersionResourceRead::found) continue;
        EXPECT_EQ(version_text(resource), c.version);
        EXPECT_TRUE(resource.has_product_name);
        EXPECT_FALSE(resource.product_name_cut);
        EXPECT_STREQ(resource.product_name, c.product);
    }
}

// Where the VS_VERSIONINFO block starts in a file and how long it is.
size_t version_info_start(const std::string& bytes) {
    static const char KEY[] = "V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0";
    size_t at = bytes.find(std::string(KEY, sizeof KEY - 1));
    return at == std::string::npos ? at : at - 6;
}

// A file cut anywhere before the end of its version resource has none; cut
// after it, it still reads whole. Every cut is read under the sanitizers.
TEST(VersionResource, AFileCutShortHasNone) {
    const std::string whole = fixture("installer-0.8.0.0.exe");
    const size_t start = version_info_start(whole);
    ASSERT_NE(start, std::string::npos);
    const size_t end = start + (static_cast<unsigned char>(whole[start]) |
                                (static_cast<unsigned char>(whole[start + 1]) << 8));
    struct Case {
        const char* name;
        size_t length;
    };
    const Case cases[] = {
        {"in the DOS header", 40},
        {"in the PE header", 0x90},
        {"at the start of the version resource", start},
        {"in its fixed information", start + 60},
        {"one byte short of its end", end - 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VersionResource resource;
        EXPECT_EQ(read_bytes(whole.substr(0, c.length), resource), VersionResourceRead::none);
    }
    for (size_t length = 0; length < whole.size(); ++length) {
        VersionResource resource;
        const VersionResourceRead read = read_bytes(whole.substr(0, length), resource);
        if (length < end) {
            ASSERT_EQ(read, VersionResourceRead::none) << "cut at " << length;
        } else if (read == VersionResourceRead::found) {
            EXPECT_EQ(version_text(resource), "0.8.0.0") << "cut at " << length;
        }
    }
}

// Values inside the resource that point out of it end the reading, and a
// name key that is not "ProductName" leaves the product unnamed.
TEST(VersionResource, BlocksThatDoNotFitAreNotRead) {
    const std::string whole = fixture("installer-0.8.0.0.exe");
    const size_t start = version_info_start(whole);
    ASSERT_NE(start, std::string::npos);
    const size_t name_key = whole.find(std::string("P\0r\0o\0d\0u\0c\0t\0N\0a\0m\0e\0", 22));
    ASSERT_NE(name_key, std::string::npos);
    // The resource directory's entry in the PE32+ optional header.
    const size_t pe =
        static_cast<unsigned char>(whole[0x3C]) | (static_cast<unsigned char>(whole[0x3D]) << 8);
    const size_t resource_entry = pe + 24 + 112 + 2 * 8;
    struct Case {
        const char* name;
        size_t offset;
        std::string bytes;
        VersionResourceRead read;
        bool has_product_name;
    };
    const Case cases[] = {
        {"the root longer than the data", start, std::string("\xff\xff", 2),
         VersionResourceRead::none, false},
        {"the root shorter than its header", start, std::string("\x04\x00", 2),
         VersionResourceRead::none, false},
        {"fixed information of the wrong size", start + 2, std::string("\x10\x00", 2),
         VersionResourceRead::none, false},
        {"fixed information without its signature", start + 40, std::string("\0\0", 2),
         VersionResourceRead::none, false},
        {"the name string longer than its table", name_key - 6, std::string("\xf0\x7f", 2),
         VersionResourceRead::found, false},
        {"another key in place of ProductName", name_key, std::string("p", 1),
         VersionResourceRead::found, false},
        {"the resource directory's address outside every section", resource_entry,
         std::string("\xff\xff\xff\x7f", 4), VersionResourceRead::none, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = whole;
        bytes.replace(c.offset, c.bytes.size(), c.bytes);
        VersionResource resource;
        EXPECT_EQ(read_bytes(bytes, resource), c.read);
        EXPECT_EQ(resource.has_product_name, c.has_product_name);
    }
}

TEST(InstallerIdentity, TheProductTheFloorAndTheManifestsVersion) {
    struct Case {
        const char* file;
        const char* manifest_version;
        const char* floor;
        InstallerIdentity verdict;
    };
    static const Case cases[] = {
        {"installer-0.8.0.0.exe", "0.8.0", "0.7.19", InstallerIdentity::matches},
        {"installer-0.8.0.0.exe", "0.8.0.0", "0.7.19", InstallerIdentity::matches},
        {"installer-0.8.0.0.exe", "0.8", nullptr, InstallerIdentity::matches},
        {"installer-0.8.0.0.exe", "9.9.9", "0.7.19", InstallerIdentity::other_version},
        {"installer-0.8.0.0.exe", "0.8.0-1", "0.7.19", InstallerIdentity::other_version},
        {"installer-0.8.0.0.exe", "0.8.0.1", "0.7.19", InstallerIdentity::other_version},
        {"installer-three-part.exe", "0.9.1", "0.7.19", InstallerIdentity::matches},
        {"installer-1.2.3.4.exe", "1.2.3.4", "0.7.19", InstallerIdentity::matches},
        {"installer-1.2.3.4.exe", "1.2.3", "0.7.19", InstallerIdentity::other_version},
        {"installer-old.exe", "9.9.9", "0.7.19", InstallerIdentity::below_floor},
        {"installer-old.exe", "0.7.5", "0.7.19", InstallerIdentity::below_floor},
        {"installer-old.exe", "0.7.5", nullptr, InstallerIdentity::matches},
        {"installer-other-product.exe", "0.8.0", "0.7.19", InstallerIdentity::other_product},
        {"program.exe", PROGRAM_VERSION, "0.7.19", InstallerIdentity::other_product},
        {"no-resource.exe", "0.8.0", "0.7.19", InstallerIdentity::no_resource},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " as " + c.manifest_version);
        VersionResource resource;
        const VersionResourceRead read = read_bytes(fixture(c.file), resource);
        const InstallerIdentityReport report =
            judge_installer_identity(read, resource, "Trevalon", c.manifest_version, c.floor);
        EXPECT_EQ(report.verdict, c.verdict);
    }
}

const char PIN[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const char HEADER[] = "[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n";

// A pinned check reads the resource through the held file, after a valid
// signature, and refuses with one line; the refused file is deleted.
TEST(InstallerIdentity, APinnedCheckRefusesAFileThatIsNotTheRelease) {
    struct Case {
        const char* file;
        const char* manifest_version;
        Verification verification;
        const char* line;  // after the verified line; nullptr for none
    };
    static const Case cases[] = {
        {"installer-0.8.0.0.exe", "0.8.0", Verification::verified, nullptr},
        {"installer-old.exe", "9.9.9", Verification::release_refused,
         "   版本信息无效: 文件版本 0.7.5.0 低于内置版本 0.7.19 / Version refused: the file's "
         "version 0.7.5.0 is below the built-in release 0.7.19"},
        {"installer-0.8.0.0.exe", "0.8.1", Verification::release_refused,
         "   版本信息无效: 文件版本 0.8.0.0 与清单版本 0.8.1 不符 / Version refused: the file's "
         "version 0.8.0.0 is not the manifest's 0.8.1"},
        {"installer-other-product.exe", "0.8.0", Verification::release_refused,
         "   版本信息无效: 产品名称为 \"Trevalon Online Installer\" 而非 \"Trevalon\" / Version "
         "refused: the product is \"Trevalon Online Installer\", not \"Trevalon\""},
        {"no-resource.exe", "0.8.0", Verification::release_refused,
         "   版本信息无效: 文件没有版本资源 / Version refused: the file has no version resource"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        fake_os::reset();
        fake_os::set_signer_pins({PIN});
        fake_os::use_file_identity(true);
        TestDir dir;
        const std::string path = dir.file("Trevalon-setup.exe");
        write_file(path, fixture(c.file));
        ReleaseRecord release{};
        std::snprintf(release.version, sizeof release.version, "%s", c.manifest_version);
        sha256_file_hex(path.c_str(), release.sha256);

        Verification verification = Verification::refused;
        const std::string out =
            transcript([&] { verification = verify_download(path.c_str(), release); });
        release_checked_file();

        EXPECT_EQ(verification, c.verification);
        EXPECT_EQ(out, std::string(HEADER) + "   校验通过 / Verified  SHA-256 " + release.sha256 +
                           "\n" + (c.line != nullptr ? std::string(c.line) + "\n" : ""));
        const bool kept = c.verification == Verification::verified;
        std::vector<std::string> events = {"hold " + path, "signature held " + path,
                                           "identity held " + path, "release " + path};
        if (!kept) events.push_back("delete " + path);
        EXPECT_EQ(fake_os::file_events(), events);
    }
}

// The name shown is the file's, with control characters made harmless.
TEST(InstallerIdentity, ControlCharactersInTheNameAreNotPrinted) {
    VersionResource resource{};
    resource.has_product_name = true;
    std::snprintf(resource.product_name, sizeof resource.product_name, "Tre\x1b[2Jvalon\r");
    const InstallerIdentityReport report = judge_installer_identity(
        VersionResourceRead::found, resource, "Trevalon", "0.0.0", nullptr);
    EXPECT_EQ(report.verdict, InstallerIdentity::other_product);
    EXPECT_STREQ(report.product, "Tre?[2Jvalon?");
}

}  // namespace
