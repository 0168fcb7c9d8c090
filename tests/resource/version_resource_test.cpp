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
        const char* original_filename;
    };
    const Case cases[] = {
        {"the programs' own resource (src/res/program.rc.in)", fixture("program.exe"),
         VersionResourceRead::found, PROGRAM_VERSION ".0", "Trevalon Online Installer",
         "trevalon-online-installer.exe"},
        {"an installer, four-part version", fixture("installer-1.2.3.4.exe"),
         VersionResourceRead::found, "1.2.3.4", "Trevalon", "Trevalon-setup.exe"},
        {"an installer, 0.8.0.0", fixture("installer-0.8.0.0.exe"), VersionResourceRead::found,
         "0.8.0.0", "Trevalon", "Trevalon-setup.exe"},
        {"an installer, three-part version in the script", fixture("installer-three-part.exe"),
         VersionResourceRead::found, "0.9.1.0", "Trevalon", "Trevalon-setup.exe"},
        {"another product", fixture("installer-other-product.exe"), VersionResourceRead::found,
         "0.8.0.0", "Trevalon Online Installer", "Trevalon-setup.exe"},
        {"another original file name", fixture("installer-other-name.exe"),
         VersionResourceRead::found, "0.8.0.0", "Trevalon", "Trevalon-helper.exe"},
        // Windows reads ID 1; the named resource listed before it is not the file's.
        {"a named resource and ID 1", fixture("two-resources.exe"), VersionResourceRead::found,
         "5.0.0.0", "Other Product", "Trevalon-setup.exe"},
        {"ID 2 alone", fixture("id-2.exe"), VersionResourceRead::none, nullptr, nullptr, nullptr},
        {"ID 1 in two languages", fixture("two-languages.exe"),
         VersionResourceRead::several_languages, nullptr, nullptr, nullptr},
        {"two string tables", fixture("two-string-tables.exe"),
         VersionResourceRead::several_languages, nullptr, nullptr, nullptr},
        {"a program without resources", fixture("no-resource.exe"), VersionResourceRead::none,
         nullptr, nullptr, nullptr},
        {"not a PE file", "abc", VersionResourceRead::none, nullptr, nullptr, nullptr},
        {"empty", "", VersionResourceRead::none, nullptr, nullptr, nullptr},
        {"MZ and nothing else", "MZ", VersionResourceRead::none, nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VersionResource resource;
        EXPECT_EQ(read_bytes(c.bytes, resource), c.read);
        if (c.read != VersionResourceRead::found) continue;
        EXPECT_EQ(version_text(resource), c.version);
        EXPECT_TRUE(resource.product_name.found);
        EXPECT_FALSE(resource.product_name.cut);
        EXPECT_STREQ(resource.product_name.text, c.product);
        EXPECT_TRUE(resource.original_filename.found);
        EXPECT_STREQ(resource.original_filename.text, c.original_filename);
    }
}

// What the image and its fixed information say, as the linker and windres
// wrote them.
TEST(VersionResource, ReadsTheImageAndTheFixedInformation) {
    struct Case {
        const char* file;
        uint16_t characteristics;  // of IMAGE_DLL and IMAGE_EXECUTABLE
        uint32_t file_type;
        uint32_t file_flags;
    };
    static const Case cases[] = {
        {"installer-0.8.0.0.exe", IMAGE_EXECUTABLE, FILE_TYPE_APP, 0},
        {"installer-dll.exe", IMAGE_EXECUTABLE | IMAGE_DLL, FILE_TYPE_APP, 0},
        {"installer-vft-dll.exe", IMAGE_EXECUTABLE, 2, 0},
        {"installer-debug.exe", IMAGE_EXECUTABLE, FILE_TYPE_APP, 0x01 | 0x02},
        {"installer-private.exe", IMAGE_EXECUTABLE, FILE_TYPE_APP, 0x08 | 0x20},
        {"installer-patched.exe", IMAGE_EXECUTABLE, FILE_TYPE_APP, 0x04},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        VersionResource resource;
        ASSERT_EQ(read_bytes(fixture(c.file), resource), VersionResourceRead::found);
        EXPECT_EQ(resource.machine, IMAGE_MACHINE_AMD64);
        EXPECT_EQ(resource.characteristics & (IMAGE_DLL | IMAGE_EXECUTABLE), c.characteristics);
        EXPECT_EQ(resource.file_type, c.file_type);
        EXPECT_EQ(resource.file_flags, c.file_flags);
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

// Values inside the resource that point out of it end the reading, a string
// whose terminator is not within its wValueLength (the length counts it) is
// refused, and a name key that is not "ProductName" leaves the product
// unnamed.
TEST(VersionResource, BlocksThatDoNotFitAreNotRead) {
    const std::string whole = fixture("installer-0.8.0.0.exe");
    const size_t start = version_info_start(whole);
    ASSERT_NE(start, std::string::npos);
    const size_t name_key = whole.find(std::string("P\0r\0o\0d\0u\0c\0t\0N\0a\0m\0e\0", 22));
    ASSERT_NE(name_key, std::string::npos);
    const size_t company_key = whole.find(std::string("C\0o\0m\0p\0a\0n\0y\0N\0a\0m\0e\0", 22));
    ASSERT_NE(company_key, std::string::npos);
    ASSERT_EQ(whole[name_key - 4], 9);  // "Trevalon" and its terminator
    // The resource directory's entry in the PE32+ optional header.
    const size_t pe =
        static_cast<unsigned char>(whole[0x3C]) | (static_cast<unsigned char>(whole[0x3D]) << 8);
    const size_t resource_entry = pe + 24 + 112 + 2 * 8;
    struct Case {
        const char* name;
        size_t offset;
        std::string bytes;
        VersionResourceRead read;
        const char* product;  // nullptr when none is read
    };
    const Case cases[] = {
        {"the root longer than the data", start, std::string("\xff\xff", 2),
         VersionResourceRead::none, nullptr},
        {"the root shorter than its header", start, std::string("\x04\x00", 2),
         VersionResourceRead::none, nullptr},
        {"fixed information of the wrong size", start + 2, std::string("\x10\x00", 2),
         VersionResourceRead::none, nullptr},
        {"fixed information without its signature", start + 40, std::string("\0\0", 2),
         VersionResourceRead::none, nullptr},
        {"the name string longer than its table", name_key - 6, std::string("\xf0\x7f", 2),
         VersionResourceRead::found, nullptr},
        {"another key in place of ProductName", name_key, std::string("p", 1),
         VersionResourceRead::found, nullptr},
        {"the name's length without its terminator", name_key - 4, std::string("\x08", 1),
         VersionResourceRead::string_past_length, nullptr},
        {"the name's length past its block", name_key - 4, std::string("\x40", 1),
         VersionResourceRead::string_past_length, nullptr},
        {"another string's length without its terminator", company_key - 4, std::string("\x08", 1),
         VersionResourceRead::string_past_length, nullptr},
        {"the name's length 0, the empty name", name_key - 4, std::string("\x00", 1),
         VersionResourceRead::found, ""},
        {"the resource directory's address outside every section", resource_entry,
         std::string("\xff\xff\xff\x7f", 4), VersionResourceRead::none, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = whole;
        bytes.replace(c.offset, c.bytes.size(), c.bytes);
        VersionResource resource;
        EXPECT_EQ(read_bytes(bytes, resource), c.read);
        EXPECT_EQ(resource.product_name.found, c.product != nullptr);
        if (c.product != nullptr) {
            EXPECT_STREQ(resource.product_name.text, c.product);
        }
    }
}

const InstallerName TREVALON = {"Trevalon", "Trevalon-setup.exe"};

// A fixture with its image header's Machine or Characteristics (the two bytes
// at 4 or 22 past "PE\0\0") set.
std::string with_header(const std::string& name, size_t field, uint16_t value) {
    std::string bytes = fixture(name);
    const size_t pe =
        static_cast<unsigned char>(bytes[0x3C]) | (static_cast<unsigned char>(bytes[0x3D]) << 8);
    bytes[pe + field] = static_cast<char>(value & 0xFF);
    bytes[pe + field + 1] = static_cast<char>(value >> 8);
    return bytes;
}

const size_t MACHINE = 4;
const size_t CHARACTERISTICS = 22;
const uint16_t EXECUTABLE_CHARACTERISTICS = 0x022E;  // as the linker writes them

TEST(InstallerIdentity, TheInstallerTheFloorAndTheManifestsVersion) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* manifest_version;
        const char* floor;
        InstallerIdentity verdict;
    };
    const Case cases[] = {
        {"0.8.0.0", fixture("installer-0.8.0.0.exe"), "0.8.0", "0.7.19",
         InstallerIdentity::matches},
        {"0.8.0.0", fixture("installer-0.8.0.0.exe"), "0.8.0.0", "0.7.19",
         InstallerIdentity::matches},
        {"0.8.0.0", fixture("installer-0.8.0.0.exe"), "0.8", nullptr, InstallerIdentity::matches},
        {"0.8.0.0", fixture("installer-0.8.0.0.exe"), "9.9.9", "0.7.19",
         InstallerIdentity::other_version},
        {"0.8.0.0", fixture("installer-0.8.0.0.exe"), "0.8.0-1", "0.7.19",
         InstallerIdentity::other_version},
        {"0.8.0.0", fixture("installer-0.8.0.0.exe"), "0.8.0.1", "0.7.19",
         InstallerIdentity::other_version},
        {"three parts", fixture("installer-three-part.exe"), "0.9.1", "0.7.19",
         InstallerIdentity::matches},
        {"1.2.3.4", fixture("installer-1.2.3.4.exe"), "1.2.3.4", "0.7.19",
         InstallerIdentity::matches},
        {"1.2.3.4", fixture("installer-1.2.3.4.exe"), "1.2.3", "0.7.19",
         InstallerIdentity::other_version},
        {"old", fixture("installer-old.exe"), "9.9.9", "0.7.19", InstallerIdentity::below_floor},
        {"old", fixture("installer-old.exe"), "0.7.5", "0.7.19", InstallerIdentity::below_floor},
        {"old", fixture("installer-old.exe"), "0.7.5", nullptr, InstallerIdentity::matches},
        {"another product", fixture("installer-other-product.exe"), "0.8.0", "0.7.19",
         InstallerIdentity::other_product},
        {"our own program", fixture("program.exe"), PROGRAM_VERSION, "0.7.19",
         InstallerIdentity::other_product},
        {"no resource", fixture("no-resource.exe"), "0.8.0", "0.7.19",
         InstallerIdentity::no_resource},
        {"a named resource and ID 1", fixture("two-resources.exe"), "0.8.0", "0.7.19",
         InstallerIdentity::other_product},
        {"ID 1 in two languages", fixture("two-languages.exe"), "0.8.0", "0.7.19",
         InstallerIdentity::several_languages},
        {"another helper of the product", fixture("installer-other-name.exe"), "0.8.0", "0.7.19",
         InstallerIdentity::other_file_name},
        {"ARM64", with_header("installer-0.8.0.0.exe", MACHINE, 0xAA64), "0.8.0", "0.7.19",
         InstallerIdentity::other_machine},
        {"i386", with_header("installer-0.8.0.0.exe", MACHINE, 0x014C), "0.8.0", "0.7.19",
         InstallerIdentity::other_machine},
        {"a DLL", fixture("installer-dll.exe"), "0.8.0", "0.7.19", InstallerIdentity::dll},
        {"not an executable image",
         with_header("installer-0.8.0.0.exe", CHARACTERISTICS,
                     EXECUTABLE_CHARACTERISTICS & ~IMAGE_EXECUTABLE),
         "0.8.0", "0.7.19", InstallerIdentity::not_executable},
        {"the linker's characteristics",
         with_header("installer-0.8.0.0.exe", CHARACTERISTICS, EXECUTABLE_CHARACTERISTICS), "0.8.0",
         "0.7.19", InstallerIdentity::matches},
        {"file type VFT_DLL", fixture("installer-vft-dll.exe"), "0.8.0", "0.7.19",
         InstallerIdentity::not_an_application},
        {"debug and prerelease", fixture("installer-debug.exe"), "0.8.0", "0.7.19",
         InstallerIdentity::special_build},
        {"private and special build", fixture("installer-private.exe"), "0.8.0", "0.7.19",
         InstallerIdentity::special_build},
        {"patched", fixture("installer-patched.exe"), "0.8.0", "0.7.19",
         InstallerIdentity::matches},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " as " + c.manifest_version);
        VersionResource resource;
        const VersionResourceRead read = read_bytes(c.bytes, resource);
        const InstallerIdentityReport report =
            judge_installer_identity(read, resource, TREVALON, c.manifest_version, c.floor);
        EXPECT_EQ(report.verdict, c.verdict);
    }
}

// The ProductName's wValueLength one short, so its terminator is past it.
std::string past_length(std::string bytes) {
    const size_t key = bytes.find(std::string("P\0r\0o\0d\0u\0c\0t\0N\0a\0m\0e\0", 22));
    if (key == std::string::npos) ADD_FAILURE() << "no ProductName";
    if (key != std::string::npos) bytes[key - 4] = static_cast<char>(bytes[key - 4] - 1);
    return bytes;
}

const char PIN[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const char HEADER[] = "[4/4] 校验完整性 / Verifying integrity (SHA-256)...\n";

// A pinned check reads the resource through the held file, after a valid
// signature, and refuses with one line; the refused file is deleted.
TEST(InstallerIdentity, APinnedCheckRefusesAFileThatIsNotTheRelease) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* manifest_version;
        Verification verification;
        const char* line;  // after the verified line; nullptr for none
    };
    const Case cases[] = {
        {"0.8.0.0", fixture("installer-0.8.0.0.exe"), "0.8.0", Verification::verified, nullptr},
        {"old", fixture("installer-old.exe"), "9.9.9", Verification::release_refused,
         "   版本信息无效: 文件版本 0.7.5.0 低于内置版本 0.7.19 / Version refused: the file's "
         "version 0.7.5.0 is below the built-in release 0.7.19"},
        {"0.8.0.0", fixture("installer-0.8.0.0.exe"), "0.8.1", Verification::release_refused,
         "   版本信息无效: 文件版本 0.8.0.0 与清单版本 0.8.1 不符 / Version refused: the file's "
         "version 0.8.0.0 is not the manifest's 0.8.1"},
        {"another product", fixture("installer-other-product.exe"), "0.8.0",
         Verification::release_refused,
         "   版本信息无效: 产品名称为 \"Trevalon Online Installer\" 而非 \"Trevalon\" / Version "
         "refused: the product is \"Trevalon Online Installer\", not \"Trevalon\""},
        {"no resource", fixture("no-resource.exe"), "0.8.0", Verification::release_refused,
         "   版本信息无效: 文件没有版本资源 / Version refused: the file has no version resource"},
        {"another helper", fixture("installer-other-name.exe"), "0.8.0",
         Verification::release_refused,
         "   版本信息无效: 原始文件名为 \"Trevalon-helper.exe\" 而非 \"Trevalon-setup.exe\" / "
         "Version refused: the original file name is \"Trevalon-helper.exe\", not "
         "\"Trevalon-setup.exe\""},
        {"ARM64", with_header("installer-0.8.0.0.exe", MACHINE, 0xAA64), "0.8.0",
         Verification::release_refused,
         "   版本信息无效: 文件的机器类型为 ARM64 (0xAA64) 而非 x86-64 / Version refused: the file "
         "is for ARM64 (0xAA64), not x86-64"},
        {"machine 0x1234", with_header("installer-0.8.0.0.exe", MACHINE, 0x1234), "0.8.0",
         Verification::release_refused,
         "   版本信息无效: 文件的机器类型为 0x1234 而非 x86-64 / Version refused: the file is for "
         "0x1234, not x86-64"},
        {"a DLL", fixture("installer-dll.exe"), "0.8.0", Verification::release_refused,
         "   版本信息无效: 文件是 DLL 而非程序 / Version refused: the file is a DLL, not a "
         "program"},
        {"not executable", with_header("installer-0.8.0.0.exe", CHARACTERISTICS, 0x022C), "0.8.0",
         Verification::release_refused,
         "   版本信息无效: 文件不是可执行映像 / Version refused: the file is not an executable "
         "image"},
        {"VFT_DLL", fixture("installer-vft-dll.exe"), "0.8.0", Verification::release_refused,
         "   版本信息无效: 文件类型为 VFT_DLL 而非 VFT_APP / Version refused: the file's type is "
         "VFT_DLL, not VFT_APP"},
        {"debug", fixture("installer-debug.exe"), "0.8.0", Verification::release_refused,
         "   版本信息无效: 文件标为 DEBUG|PRERELEASE 版本 / Version refused: the file is marked "
         "as a DEBUG|PRERELEASE build"},
        {"private", fixture("installer-private.exe"), "0.8.0", Verification::release_refused,
         "   版本信息无效: 文件标为 PRIVATEBUILD|SPECIALBUILD 版本 / Version refused: the file is "
         "marked as a PRIVATEBUILD|SPECIALBUILD build"},
        {"two languages", fixture("two-languages.exe"), "0.8.0", Verification::release_refused,
         "   版本信息无效: 版本资源有多种语言 / Version refused: the version resource is in more "
         "than one language"},
        {"a string past its length", past_length(fixture("installer-0.8.0.0.exe")), "0.8.0",
         Verification::release_refused,
         "   版本信息无效: 版本资源的字符串超出其长度 / Version refused: a string of the version "
         "resource runs past its length"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_os::reset();
        fake_os::set_signer_pins({PIN});
        fake_os::use_file_identity(true);
        TestDir dir;
        const std::string path = dir.file("Trevalon-setup.exe");
        write_file(path, c.bytes);
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

// The names shown are the file's, with control characters made harmless.
TEST(InstallerIdentity, ControlCharactersInTheNamesAreNotPrinted) {
    struct Case {
        const char* product;
        const char* original_filename;
        InstallerIdentity verdict;
        const char* shown_product;
        const char* shown_original_filename;
    };
    static const Case cases[] = {
        {"Tre\x1b[2Jvalon\r", "Trevalon-setup.exe", InstallerIdentity::other_product,
         "Tre?[2Jvalon?", "Trevalon-setup.exe"},
        {"Trevalon", "Trevalon\x1b]0;x\x07.exe", InstallerIdentity::other_file_name, "Trevalon",
         "Trevalon?]0;x?.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown_original_filename);
        VersionResource resource{};
        resource.product_name.found = true;
        resource.original_filename.found = true;
        std::snprintf(resource.product_name.text, sizeof resource.product_name.text, "%s",
                      c.product);
        std::snprintf(resource.original_filename.text, sizeof resource.original_filename.text, "%s",
                      c.original_filename);
        const InstallerIdentityReport report = judge_installer_identity(
            VersionResourceRead::found, resource, TREVALON, "0.0.0", nullptr);
        EXPECT_EQ(report.verdict, c.verdict);
        EXPECT_STREQ(report.product, c.shown_product);
        EXPECT_STREQ(report.original_filename, c.shown_original_filename);
    }
}

}  // namespace
