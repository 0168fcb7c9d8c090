// `create INSTALLER [--version V]`: the manifest for an installer file, printed
// for the publisher to put up at the sources. The version comes from --version
// or from the file name; the size and digest from reading the file with the
// installer's SHA-256. The printed text is run through the same judgement as
// `check` and must come back field for field as given, so that the installer
// reads exactly what the publisher meant: a name with trailing blanks, which
// the parser would trim, is refused rather than published.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "manifest/manifest.hpp"
#include "tool_core.hpp"
#include "verify/sha256.hpp"

namespace tool {

namespace {

const char* base_name(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
#ifdef _WIN32
        if (*p == '/' || *p == '\\' || *p == ':') name = p + 1;
#else
        if (*p == '/') name = p + 1;
#endif
    }
    return name;
}

// The version in a name ending in -<version>.<extension>, or false when there is none.
bool version_from_name(const char* name, char* version, size_t capacity) {
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr) return false;
    const char* dash = nullptr;
    for (const char* p = name; p < dot; ++p) {
        if (*p == '-') dash = p;
    }
    if (dash == nullptr || dash + 1 == dot) return false;
    size_t n = static_cast<size_t>(dot - (dash + 1));
    if (n + 1 > capacity) return false;
    std::memcpy(version, dash + 1, n);
    version[n] = '\0';
    return true;
}

int refuse(const char* format, ...) __attribute__((format(printf, 1, 2)));
int refuse(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    say(Stream::err, "%s: create: refused: %s\n", TOOL, text);
    return EXIT_TOOL_FAILED;
}

}  // namespace

int command_create(const Arguments& args) {
    if (args.count == 0) return usage_error("create", "missing INSTALLER");
    if (args.count > 1) return usage_error("create", "one INSTALLER only, got %d", args.count);

    const char* path = args.operands[0];
    const char* name = base_name(path);
    char derived[256];
    const char* version = args.version;
    if (version == nullptr && version_from_name(name, derived, sizeof derived)) version = derived;
    if (version == nullptr)
        return usage_error("create",
                           "no version in the file name '%s' (no -<version>.exe); give --version V",
                           name);
    // A line end would give a value lines of its own, which the parser would
    // judge as other fields.
    if (std::strchr(version, '\n') != nullptr)
        return refuse("version \"%s\" holds a line end", version);
    if (std::strchr(name, '\n') != nullptr)
        return refuse("file name \"%s\" holds a line end", name);

    uint64_t size = 0;
    char hex[SHA256_HEX_SIZE];
    if (!sha256_file(path, hex, size)) {
        say(Stream::err, "%s: create: cannot read '%s'\n", TOOL, path);
        return EXIT_TOOL_FAILED;
    }
    static char body[MANIFEST_BODY_SIZE];
    int written = std::snprintf(body, sizeof body, "%s\n%s\n%llu\n%s\n", version, name,
                                static_cast<unsigned long long>(size), hex);
    static char parsed[MANIFEST_BODY_SIZE];
    std::memcpy(parsed, body, sizeof parsed);
    ReleaseRecord release = {};
    const char* why = refusal(parsed, written < 0 ? 0 : static_cast<uint64_t>(written), release);
    if (why != nullptr) return refuse("%s", why);
    // The parser drops blanks at a line's end: the version must come back as given.
    const char* bare_version = version + ((version[0] == 'v' || version[0] == 'V') ? 1 : 0);
    if (std::strcmp(release.version, bare_version) != 0)
        return refuse("version \"%s\" would be read as \"%s\"", version, release.version);
    if (std::strcmp(release.file_name, name) != 0)
        return refuse("file name \"%s\" would be read as \"%s\"", name, release.file_name);
    say(Stream::out, "%s", body);
    return EXIT_TOOL_OK;
}

}  // namespace tool
