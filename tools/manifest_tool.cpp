// The publisher's tool. Every decision it makes about a manifest or a node is
// the installer's own: parse_manifest accepts or refuses a manifest, the
// candidate list comes from build_candidates, every request goes through the
// transport with the installer's timeout profiles, and every digest is the
// installer's SHA-256. What the tool adds is the part for people: the rule a
// refused manifest breaks, the digest listing in sha256sum's format, and the
// table of what each node really serves. Like the installer it works in fixed
// buffers, without exceptions, and it writes nothing to disk: a node's file is
// hashed as it arrives.
#include "manifest_tool.hpp"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "install/sha256.hpp"
#include "manifest/manifest.hpp"
#include "mirrors/mirrors.hpp"
#include "net/transport.hpp"
#include "net/utf16.hpp"
#include "os/os.hpp"
#include "run/records.hpp"

namespace {

constexpr char TOOL[] = "trevalon-manifest";

// The installer prints this line once it has settled the release. A published
// manifest is asked for at the ModelScope source first, so that is the source
// the line names when every source serves the same manifest.
constexpr char RELEASE_LINE_FORMAT[] =
    "   版本/Version v%s  文件/File %s  大小/Size %.1f MB  来源/Source: %s\n";
constexpr const char* FIRST_SOURCE_LABEL = NODE_LABELS[0];

constexpr char16_t PROBE_RANGE_HEADER[] = u"Range: bytes=0-16383";
constexpr uint32_t TRANSFER_BUFFER_SIZE = 65536;
constexpr double BYTES_PER_MB = 1048576.0;

constexpr const char* FIELD_NAMES[5] = {"manifest", "version", "file name", "size", "SHA-256"};
constexpr char TOKEN_CHARACTERS[] = "0-9 A-Z a-z . _ -";

// The one work buffer: file reads and node downloads both pass through it.
unsigned char g_transfer_buffer[TRANSFER_BUFFER_SIZE];

// ---- output ------------------------------------------------------------------

enum class Stream { out, err };

void say(Stream stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(Stream stream, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (stream == Stream::out) {
        out_printf("%s", text);
    } else {
        std::fputs(text, stderr);
    }
}

// Bounded append to a terminated text; the result is cut at capacity - 1.
void append(char* text, size_t capacity, const char* format, ...) __attribute__((format(printf, 3, 4)));
void append(char* text, size_t capacity, const char* format, ...) {
    size_t used = std::strlen(text);
    if (used + 1 >= capacity) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(text + used, capacity - used, format, args);
    va_end(args);
}

void digest_hex(const uint8_t digest[SHA256_DIGEST_BYTES], char hex[SHA256_HEX_SIZE]) {
    for (int i = 0; i < SHA256_DIGEST_BYTES; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    hex[SHA256_HEX_SIZE - 1] = '\0';
}

bool same_digest(const char* a, const char* b) {
    if (std::strlen(a) != SHA256_HEX_CHARS || std::strlen(b) != SHA256_HEX_CHARS) return false;
    for (int i = 0; i < SHA256_HEX_CHARS; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// ---- diagnostics ---------------------------------------------------------------

void add_problem(ManifestDiagnosis& diagnosis, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void add_problem(ManifestDiagnosis& diagnosis, int line, const char* format, ...) {
    if (diagnosis.count >= MAX_MANIFEST_PROBLEMS) return;
    ManifestProblem& problem = diagnosis.problems[diagnosis.count++];
    problem.line = line;
    va_list args;
    va_start(args, format);
    std::vsnprintf(problem.text, sizeof problem.text, format, args);
    va_end(args);
}

// A byte as people read it in a message: 'x' for visible ASCII, else its value.
void describe_byte(unsigned char c, char* text, size_t capacity) {
    if (c == ' ') {
        std::snprintf(text, capacity, "a space");
    } else if (c > 0x20 && c < 0x7F) {
        std::snprintf(text, capacity, "'%c'", c);
    } else {
        std::snprintf(text, capacity, "byte 0x%02X", c);
    }
}

bool is_token_character(unsigned char c) {
    return std::isdigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '_' ||
           c == '-';
}

// Why is_safe_token refused text: empty, too long, or the first byte that is
// not a token character. column_offset is where text starts in its line.
bool explain_token(const char* text, int32_t bound, int column_offset, char* out, size_t capacity) {
    if (is_safe_token(text, bound)) return false;
    size_t length = std::strlen(text);
    if (length == 0) {
        std::snprintf(out, capacity, "is empty");
        return true;
    }
    if (length > static_cast<size_t>(bound)) {
        std::snprintf(out, capacity, "has %zu characters; at most %d are allowed", length, bound);
        return true;
    }
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!is_token_character(c)) {
            char what[16];
            describe_byte(c, what, sizeof what);
            std::snprintf(out, capacity, "has %s at column %zu; only %s are allowed", what,
                          i + 1 + column_offset, TOKEN_CHARACTERS);
            return true;
        }
    }
    std::snprintf(out, capacity, "must be 1 to %d of %s", bound, TOKEN_CHARACTERS);
    return true;
}

bool check_version(const char* line, char* out, size_t capacity) {
    if (std::strncmp(line, "\xEF\xBB\xBF", 3) == 0) {
        std::snprintf(out, capacity, "starts with a UTF-8 byte-order mark; save the manifest without one");
        return true;
    }
    int skip = (line[0] == 'v' || line[0] == 'V') ? 1 : 0;
    const char* rest = line + skip;
    if (skip == 1 && rest[0] == '\0') {
        std::snprintf(out, capacity, "is only a \"%c\"; the number must follow it", line[0]);
        return true;
    }
    if (!explain_token(rest, VERSION_MAX_CHARS, skip, out, capacity)) return false;
    if (skip == 1 && std::strlen(rest) > static_cast<size_t>(VERSION_MAX_CHARS))
        append(out, capacity, " after the leading \"%c\"", line[0]);
    return true;
}

bool check_file_name(const char* line, char* out, size_t capacity) {
    if (explain_token(line, FILE_NAME_MAX_CHARS, 0, out, capacity)) return true;
    size_t length = std::strlen(line);
    if (length < static_cast<size_t>(FILE_NAME_MIN_CHARS)) {
        std::snprintf(out, capacity, "has %zu characters; at least %d are needed", length, FILE_NAME_MIN_CHARS);
        return true;
    }
    const char* tail = line + length - 4;
    bool exe = std::tolower(static_cast<unsigned char>(tail[1])) == 'e' &&
               std::tolower(static_cast<unsigned char>(tail[2])) == 'x' &&
               std::tolower(static_cast<unsigned char>(tail[3])) == 'e' && tail[0] == '.';
    if (!exe) {
        std::snprintf(out, capacity, "must end in \".exe\" (any letter case)");
        return true;
    }
    if (std::strstr(line, "..") != nullptr) {
        std::snprintf(out, capacity, "must not contain \"..\"");
        return true;
    }
    return false;
}

bool check_size(const char* line, char* out, size_t capacity) {
    char* end = nullptr;
    unsigned long long value = std::strtoull(line, &end, 10);
    if (end == nullptr || end == line || *end != '\0') {
        std::snprintf(out, capacity, "\"%.40s\" is not a decimal number of bytes", line);
        return true;
    }
    if (value == 0) {
        std::snprintf(out, capacity, "must not be 0");
        return true;
    }
    return false;
}

bool check_digest(const char* line, char* out, size_t capacity) {
    size_t length = std::strlen(line);
    if (length != static_cast<size_t>(SHA256_HEX_CHARS)) {
        std::snprintf(out, capacity, "has %zu characters; exactly %d hexadecimal digits are needed", length,
                      SHA256_HEX_CHARS);
        return true;
    }
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (!std::isxdigit(c)) {
            char what[16];
            describe_byte(c, what, sizeof what);
            std::snprintf(out, capacity, "has %s at column %zu; only 0-9 a-f A-F are allowed", what, i + 1);
            return true;
        }
    }
    return false;
}

typedef bool (*FieldCheck)(const char* line, char* out, size_t capacity);
constexpr FieldCheck FIELD_CHECKS[5] = {nullptr, check_version, check_file_name, check_size, check_digest};

// ---- files -----------------------------------------------------------------------

// The digest and size of a file in one pass, through the installer's SHA-256.
// False when the file cannot be opened or read to its end.
bool hash_file(const char* path, uint64_t& size, char hex[SHA256_HEX_SIZE]) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    Sha256Context context;
    sha256_init(context);
    size = 0;
    for (;;) {
        size_t count = std::fread(g_transfer_buffer, 1, sizeof g_transfer_buffer, file);
        if (count == 0) break;
        sha256_update(context, g_transfer_buffer, count);
        size += count;
    }
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    uint8_t digest[SHA256_DIGEST_BYTES];
    sha256_final(context, digest);
    digest_hex(digest, hex);
    return ok;
}

// Reads a manifest as the installer receives one: at most MANIFEST_BODY_SIZE - 1
// bytes land in body, terminated; length is the file's whole length.
bool read_manifest_file(const char* path, char (&body)[MANIFEST_BODY_SIZE], uint64_t& length) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    size_t stored = std::fread(body, 1, MANIFEST_BODY_SIZE - 1, file);
    body[stored] = '\0';
    length = stored;
    for (;;) {
        size_t count = std::fread(g_transfer_buffer, 1, sizeof g_transfer_buffer, file);
        if (count == 0) break;
        length += count;
    }
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

// The installer's verdict on a body, with the record it would fill.
bool installer_accepts(const char* body, uint64_t length, ReleaseRecord& release) {
    if (length == 0 || length >= static_cast<uint64_t>(MANIFEST_BODY_SIZE - 1)) return false;
    char copy[MANIFEST_BODY_SIZE];
    std::memcpy(copy, body, static_cast<size_t>(length));
    copy[length] = '\0';
    return parse_manifest(copy, release);
}

void print_release_line(const ReleaseRecord& release) {
    say(Stream::out, RELEASE_LINE_FORMAT, release.version, release.file_name,
        static_cast<double>(release.size) / BYTES_PER_MB, FIRST_SOURCE_LABEL);
}

void print_problems(Stream stream, const char* prefix, const ManifestDiagnosis& diagnosis) {
    for (int i = 0; i < diagnosis.count; ++i) {
        const ManifestProblem& p = diagnosis.problems[i];
        if (p.line == 0) {
            say(stream, "%s: %s\n", prefix, p.text);
        } else {
            say(stream, "%s:%d: %s %s\n", prefix, p.line, FIELD_NAMES[p.line], p.text);
        }
    }
}

// Reads and judges a manifest file; prints the broken rules when it is refused.
// Returns EXIT_TOOL_OK with release filled, or the exit code to end with.
int load_manifest(const char* command, const char* path, ReleaseRecord& release) {
    static char body[MANIFEST_BODY_SIZE];
    uint64_t length = 0;
    if (!read_manifest_file(path, body, length)) {
        say(Stream::err, "%s: %s: cannot read '%s'\n", TOOL, command, path);
        return EXIT_TOOL_FAILED;
    }
    if (installer_accepts(body, length, release)) return EXIT_TOOL_OK;
    ManifestDiagnosis diagnosis;
    diagnose_manifest(body, length, diagnosis);
    if (diagnosis.count == 0) add_problem(diagnosis, 0, "refused by the installer's manifest parser");
    print_problems(Stream::out, path, diagnosis);
    return EXIT_TOOL_FAILED;
}

// ---- command line ------------------------------------------------------------------

constexpr char TOOL_HELP[] =
    "Usage: trevalon-manifest COMMAND [ARGUMENTS]\n"
    "Writes and checks the release manifest of the Trevalon online installer and\n"
    "checks the download nodes that serve its installer, with the installer's own code.\n"
    "\n"
    "Commands:\n"
    "  create INSTALLER [--version V]  print the manifest for an installer file\n"
    "  check MANIFEST                  check a manifest as the installer reads it\n"
    "  hash FILE...                    print SHA-256 digests as sha256sum does\n"
    "  mirrors MANIFEST                download the release from every node and check it\n"
    "\n"
    "Run 'trevalon-manifest COMMAND --help' for a command's details.\n"
    "Exit status: 0 success, 1 a refusal or failed check, 2 a usage error.\n";

constexpr char CREATE_HELP[] =
    "Usage: trevalon-manifest create INSTALLER [--version V]\n"
    "Prints the manifest for the installer file, one field a line: version, file name,\n"
    "size in bytes and SHA-256 in lower case. The version is V, or else the part of the\n"
    "file name between its last '-' and \".exe\" (Trevalon-setup-0.7.19.exe gives 0.7.19).\n"
    "Refuses, with exit status 1 and the rule broken, a file name or version that the\n"
    "installer would reject.\n";

constexpr char CHECK_HELP[] =
    "Usage: trevalon-manifest check MANIFEST\n"
    "Reads the manifest as the installer does. When the installer accepts it, prints the\n"
    "release line the installer shows for it and exits with 0; otherwise prints which line\n"
    "breaks which rule (a file of 4095 bytes or more is refused whole) and exits with 1.\n";

constexpr char HASH_HELP[] =
    "Usage: trevalon-manifest hash FILE...\n"
    "Prints the SHA-256 digest of each file in sha256sum's format, computed by the\n"
    "installer's own SHA-256. Exits with 1 when a file cannot be read.\n";

constexpr char MIRRORS_HELP[] =
    "Usage: trevalon-manifest mirrors MANIFEST\n"
    "Builds the installer's list of download nodes for the release in the manifest, probes\n"
    "each node as the installer does, downloads the whole file from every reachable node and\n"
    "checks its size and SHA-256. Prints a table: node, host, reachable, latency, throughput\n"
    "in MB/s, bytes received, size verdict and digest verdict. Nothing is written to disk.\n"
    "Exits with 0 only when every node serves the exact file.\n";

int usage_error(const char* command, const char* format, ...) __attribute__((format(printf, 2, 3)));
int usage_error(const char* command, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (command == nullptr) {
        std::fprintf(stderr, "%s: %s (try '%s --help')\n", TOOL, text, TOOL);
    } else {
        std::fprintf(stderr, "%s: %s: %s (try '%s %s --help')\n", TOOL, command, text, TOOL, command);
    }
    return EXIT_TOOL_USAGE;
}

bool is_help(const char* arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

constexpr int MAX_OPERANDS = 256;

// The operands of a command, and its one option (--version V) where it has one.
struct Arguments {
    int count;
    const char* operands[MAX_OPERANDS];
    const char* version;
};

// Splits args into operands and options; "--" ends the options. Returns -1 when
// they are fine, otherwise the exit code (0 after help, 2 after a usage error).
int parse_arguments(const char* command, const char* help, bool takes_version, int argc,
                    const char* const* argv, Arguments& out) {
    out.count = 0;
    out.version = nullptr;
    bool options = true;
    for (int i = 0; i < argc; ++i) {
        if (options && is_help(argv[i])) {
            say(Stream::out, "%s", help);
            return EXIT_TOOL_OK;
        }
        if (options && std::strcmp(argv[i], "--") == 0) options = false;
    }
    options = true;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (options && std::strcmp(arg, "--") == 0) {
            options = false;
        } else if (options && takes_version && std::strncmp(arg, "--version", 9) == 0 &&
                   (arg[9] == '\0' || arg[9] == '=')) {
            if (out.version != nullptr) return usage_error(command, "--version given twice");
            if (arg[9] == '=') {
                out.version = arg + 10;
            } else if (i + 1 < argc) {
                out.version = argv[++i];
            } else {
                return usage_error(command, "--version needs a value");
            }
        } else if (options && arg[0] == '-' && arg[1] != '\0') {
            return usage_error(command, "unknown option '%s'", arg);
        } else {
            if (out.count >= MAX_OPERANDS) return usage_error(command, "more than %d files", MAX_OPERANDS);
            out.operands[out.count++] = arg;
        }
    }
    return -1;
}

// ---- create ------------------------------------------------------------------------

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

// The version in a name ending in -<version>.exe, or false when there is none.
bool version_from_name(const char* name, char* version, size_t capacity) {
    size_t length = std::strlen(name);
    if (length < 4) return false;
    const char* ext = name + length - 4;
    if (ext[0] != '.' || std::tolower(static_cast<unsigned char>(ext[1])) != 'e' ||
        std::tolower(static_cast<unsigned char>(ext[2])) != 'x' ||
        std::tolower(static_cast<unsigned char>(ext[3])) != 'e')
        return false;
    const char* dash = nullptr;
    for (const char* p = name; p < ext; ++p) {
        if (*p == '-') dash = p;
    }
    if (dash == nullptr || dash + 1 == ext) return false;
    size_t n = static_cast<size_t>(ext - (dash + 1));
    if (n + 1 > capacity) return false;
    std::memcpy(version, dash + 1, n);
    version[n] = '\0';
    return true;
}

void refuse(const ManifestDiagnosis& diagnosis, const char* const values[5]) {
    for (int i = 0; i < diagnosis.count; ++i) {
        const ManifestProblem& p = diagnosis.problems[i];
        if (p.line == 0) {
            say(Stream::err, "%s: create: refused: %s\n", TOOL, p.text);
        } else {
            say(Stream::err, "%s: create: refused: %s \"%s\" %s\n", TOOL, FIELD_NAMES[p.line], values[p.line],
                p.text);
        }
    }
}

int command_create(int argc, const char* const* argv) {
    Arguments args;
    int early = parse_arguments("create", CREATE_HELP, true, argc, argv, args);
    if (early >= 0) return early;
    if (args.count == 0) return usage_error("create", "missing INSTALLER");
    if (args.count > 1) return usage_error("create", "one INSTALLER only, got %d", args.count);

    const char* path = args.operands[0];
    const char* name = base_name(path);
    char derived[256];
    const char* version = args.version;
    if (version == nullptr && version_from_name(name, derived, sizeof derived)) version = derived;

    ManifestDiagnosis diagnosis = {};
    char text[MANIFEST_PROBLEM_TEXT];
    if (check_file_name(name, text, sizeof text)) add_problem(diagnosis, 2, "%s", text);
    if (version != nullptr && check_version(version, text, sizeof text)) add_problem(diagnosis, 1, "%s", text);
    const char* values[5] = {"", version != nullptr ? version : "", name, "", ""};
    if (diagnosis.count > 0) {
        refuse(diagnosis, values);
        return EXIT_TOOL_FAILED;
    }
    if (version == nullptr)
        return usage_error("create", "no version in the file name '%s' (no -<version>.exe); give --version V",
                           name);

    uint64_t size = 0;
    char hex[SHA256_HEX_SIZE];
    if (!hash_file(path, size, hex)) {
        say(Stream::err, "%s: create: cannot read '%s'\n", TOOL, path);
        return EXIT_TOOL_FAILED;
    }
    char size_text[24];
    std::snprintf(size_text, sizeof size_text, "%llu", static_cast<unsigned long long>(size));
    values[3] = size_text;
    values[4] = hex;
    if (check_size(size_text, text, sizeof text)) add_problem(diagnosis, 3, "%s", text);

    char body[MANIFEST_BODY_SIZE];
    int written = std::snprintf(body, sizeof body, "%s\n%s\n%s\n%s\n", version, name, size_text, hex);
    uint64_t length = written < 0 ? 0 : static_cast<uint64_t>(written);
    if (length >= static_cast<uint64_t>(MANIFEST_BODY_SIZE - 1))
        add_problem(diagnosis, 0, "the manifest would be %llu bytes; the installer refuses %d bytes or more",
                    static_cast<unsigned long long>(length), MANIFEST_BODY_SIZE - 1);

    // The parser decides; the record must also come back as the file's own, so
    // that no value can smuggle in a field of its own (a version holding a line end).
    ReleaseRecord release = {};
    bool accepted = installer_accepts(body, length, release);
    const char* bare_version = version + ((version[0] == 'v' || version[0] == 'V') ? 1 : 0);
    bool faithful = accepted && std::strcmp(release.version, bare_version) == 0 &&
                    std::strcmp(release.file_name, name) == 0 && release.size == size &&
                    std::strcmp(release.sha256, hex) == 0;
    if (!faithful || diagnosis.count > 0) {
        if (diagnosis.count == 0) add_problem(diagnosis, 0, "the installer's manifest parser refuses it");
        refuse(diagnosis, values);
        return EXIT_TOOL_FAILED;
    }
    say(Stream::out, "%s", body);
    return EXIT_TOOL_OK;
}

// ---- check -------------------------------------------------------------------------

int command_check(int argc, const char* const* argv) {
    Arguments args;
    int early = parse_arguments("check", CHECK_HELP, false, argc, argv, args);
    if (early >= 0) return early;
    if (args.count == 0) return usage_error("check", "missing MANIFEST");
    if (args.count > 1) return usage_error("check", "one MANIFEST only, got %d", args.count);
    ReleaseRecord release = {};
    int result = load_manifest("check", args.operands[0], release);
    if (result != EXIT_TOOL_OK) return result;
    print_release_line(release);
    return EXIT_TOOL_OK;
}

// ---- hash --------------------------------------------------------------------------

// sha256sum's line: a name holding a backslash, LF or CR is escaped and the
// line starts with a backslash.
void print_hash_line(const char* hex, const char* name) {
    bool escape = std::strpbrk(name, "\\\n\r") != nullptr;
    static char line[8192];
    line[0] = '\0';
    append(line, sizeof line, "%s%s  ", escape ? "\\" : "", hex);
    for (const char* p = name; *p != '\0'; ++p) {
        if (escape && *p == '\\') {
            append(line, sizeof line, "\\\\");
        } else if (escape && *p == '\n') {
            append(line, sizeof line, "\\n");
        } else if (escape && *p == '\r') {
            append(line, sizeof line, "\\r");
        } else {
            append(line, sizeof line, "%c", *p);
        }
    }
    out_printf("%s\n", line);
}

int command_hash(int argc, const char* const* argv) {
    Arguments args;
    int early = parse_arguments("hash", HASH_HELP, false, argc, argv, args);
    if (early >= 0) return early;
    if (args.count == 0) return usage_error("hash", "missing FILE");
    int result = EXIT_TOOL_OK;
    for (int i = 0; i < args.count; ++i) {
        uint64_t size = 0;
        char hex[SHA256_HEX_SIZE];
        if (!hash_file(args.operands[i], size, hex)) {
            out_flush();
            say(Stream::err, "%s: hash: cannot read '%s'\n", TOOL, args.operands[i]);
            result = EXIT_TOOL_FAILED;
            continue;
        }
        print_hash_line(hex, args.operands[i]);
    }
    return result;
}

// ---- mirrors -----------------------------------------------------------------------

// What one node served.
struct NodeReport {
    bool reachable;
    uint32_t latency_ms;
    bool responded;      // the download request got a 200 or 206
    bool transfer_ok;    // the body was read to its end without an error
    uint32_t content_length;  // 0: none
    uint64_t received;
    uint64_t elapsed_ms;
    char sha256[SHA256_HEX_SIZE];
};

int g_progress_width = 0;

void show_progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void show_progress(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > static_cast<int>(sizeof text) - 1) n = static_cast<int>(sizeof text) - 1;
    // Blank out what a longer earlier text left behind.
    int pad = g_progress_width > n ? g_progress_width - n : 0;
    out_printf("\r%s%*s", text, pad, "");
    if (n > g_progress_width) g_progress_width = n;
    out_flush();
}

void clear_progress() {
    if (g_progress_width == 0) return;
    out_printf("\r%*s\r", g_progress_width, "");
    out_flush();
    g_progress_width = 0;
}

// The node's name without the installer's Chinese half ("Node A").
const char* english_label(const char* label) {
    const char* slash = std::strrchr(label, '/');
    return slash != nullptr ? slash + 1 : label;
}

// The host the transport connects to for url.
void url_host(const char* url, char* host, int capacity) {
    char16_t wide_host[URL_PART_UNITS], wide_path[URL_PART_UNITS];
    split_url(url, wide_host, wide_path);
    if (!utf16_to_utf8(wide_host, host, capacity)) host[0] = '\0';
}

// The installer's probe: a ranged GET, reachable when a first read brings at
// least one byte; the latency runs from sending to that read.
void probe_node(NetSession* session, const MirrorNode& node, NodeReport& report) {
    report.reachable = false;
    report.latency_ms = LATENCY_NOT_MEASURED;
    char16_t host[URL_PART_UNITS], path[URL_PART_UNITS];
    split_url(node.url, host, path);
    NetConnection* connection = open_connection(session, host);
    if (connection == nullptr) return;
    NetRequest* request = open_get_request(connection, path);
    if (request != nullptr && add_request_header(request, PROBE_RANGE_HEADER)) {
        uint64_t start = tick_ms();
        uint32_t available = 0, count = 0;
        if (send_and_receive(request) && query_status(request) && query_data_available(request, &available) &&
            available > 0 &&
            read_data(request, g_transfer_buffer, available < PROBE_READ_MAX ? available : PROBE_READ_MAX,
                      &count) &&
            count > 0) {
            report.latency_ms = static_cast<uint32_t>(tick_ms() - start);
            report.reachable = true;
        }
    }
    if (request != nullptr) close_handle(request);
    close_handle(connection);
}

// A plain GET of the whole file, hashed as it arrives; nothing touches the disk.
void download_node(NetSession* session, const MirrorNode& node, const ReleaseRecord& release,
                   NodeReport& report) {
    report.responded = false;
    report.transfer_ok = false;
    report.content_length = 0;
    report.received = 0;
    report.elapsed_ms = 0;
    report.sha256[0] = '\0';
    const char* name = english_label(node.label);
    show_progress("   %s  downloading", name);

    char16_t host[URL_PART_UNITS], path[URL_PART_UNITS];
    split_url(node.url, host, path);
    NetConnection* connection = open_connection(session, host);
    if (connection == nullptr) return;
    NetRequest* request = open_get_request(connection, path);
    if (request == nullptr) {
        close_handle(connection);
        return;
    }
    uint64_t start = tick_ms();
    if (send_and_receive(request) && query_status(request)) {
        report.responded = true;
        if (!query_content_length(request, &report.content_length)) report.content_length = 0;
        Sha256Context context;
        sha256_init(context);
        uint64_t last_percent = ~0ull;
        for (;;) {
            uint32_t available = 0, count = 0;
            if (!query_data_available(request, &available)) break;
            if (available == 0) {
                report.transfer_ok = true;
                break;
            }
            if (available > TRANSFER_BUFFER_SIZE) available = TRANSFER_BUFFER_SIZE;
            if (!read_data(request, g_transfer_buffer, available, &count)) break;
            if (count == 0) {
                report.transfer_ok = true;
                break;
            }
            sha256_update(context, g_transfer_buffer, count);
            report.received += count;
            uint64_t percent = report.received * 100 / release.size;
            if (percent != last_percent) {
                last_percent = percent;
                show_progress("   %s  %3llu%%  (%.1f / %.1f MB)", name, static_cast<unsigned long long>(percent),
                              static_cast<double>(report.received) / BYTES_PER_MB,
                              static_cast<double>(release.size) / BYTES_PER_MB);
            }
        }
        report.elapsed_ms = tick_ms() - start;
        uint8_t digest[SHA256_DIGEST_BYTES];
        sha256_final(context, digest);
        digest_hex(digest, report.sha256);
    }
    close_handle(request);
    close_handle(connection);
}

const char* size_verdict(const NodeReport& report, const ReleaseRecord& release) {
    if (!report.reachable) return "-";
    if (!report.responded) return "no file";
    if (report.received < release.size) return "short";
    if (report.received > release.size) return "long";
    if (!report.transfer_ok) return "broken";
    if (report.content_length != 0 && report.content_length != release.size) return "bad length";
    return "ok";
}

const char* digest_verdict(const NodeReport& report, const ReleaseRecord& release) {
    if (!report.reachable || !report.responded) return "-";
    return same_digest(report.sha256, release.sha256) ? "ok" : "mismatch";
}

constexpr char TABLE_ROW_FORMAT[] = "%-6s  %-24s  %-9s  %8s  %8s  %10s  %-10s  %s\n";

void print_row(const MirrorNode& node, const NodeReport& report, const ReleaseRecord& release) {
    char host[URL_PART_UNITS * 3];
    url_host(node.url, host, sizeof host);
    char latency[16] = "-", speed[16] = "-", bytes[24] = "-";
    if (report.reachable) std::snprintf(latency, sizeof latency, "%u ms", report.latency_ms);
    if (report.responded) {
        std::snprintf(bytes, sizeof bytes, "%llu", static_cast<unsigned long long>(report.received));
        if (report.elapsed_ms > 0 && report.received > 0) {
            double mb_per_s = static_cast<double>(report.received) / BYTES_PER_MB /
                              (static_cast<double>(report.elapsed_ms) / 1000.0);
            std::snprintf(speed, sizeof speed, "%.2f", mb_per_s);
        }
    }
    say(Stream::out, TABLE_ROW_FORMAT, english_label(node.label), host, report.reachable ? "yes" : "no", latency,
        speed, bytes, size_verdict(report, release), digest_verdict(report, release));
}

int command_mirrors(int argc, const char* const* argv) {
    Arguments args;
    int early = parse_arguments("mirrors", MIRRORS_HELP, false, argc, argv, args);
    if (early >= 0) return early;
    if (args.count == 0) return usage_error("mirrors", "missing MANIFEST");
    if (args.count > 1) return usage_error("mirrors", "one MANIFEST only, got %d", args.count);
    ReleaseRecord release = {};
    int result = load_manifest("mirrors", args.operands[0], release);
    if (result != EXIT_TOOL_OK) return result;

    static NodeTable table;
    std::memset(&table, 0, sizeof table);
    build_candidates(release, table);

    NetSession* probe_session = open_session();
    if (probe_session == nullptr) {
        say(Stream::err, "%s: mirrors: cannot open an HTTPS session\n", TOOL);
        return EXIT_TOOL_FAILED;
    }
    apply_timeouts(probe_session, PROBE_PROFILE);
    NetSession* download_session = open_session();
    apply_timeouts(download_session, DOWNLOAD_PROFILE);

    say(Stream::out, "Release v%s  %s  %llu bytes  SHA-256 %s\n", release.version, release.file_name,
        static_cast<unsigned long long>(release.size), release.sha256);
    say(Stream::out, TABLE_ROW_FORMAT, "NODE", "HOST", "REACHABLE", "LATENCY", "MB/S", "BYTES", "SIZE", "SHA-256");
    int good = 0;
    for (int i = 0; i < table.count; ++i) {
        const MirrorNode& node = table.nodes[i];
        NodeReport report = {};
        show_progress("   %s  probing", english_label(node.label));
        probe_node(probe_session, node, report);
        if (report.reachable) download_node(download_session, node, release, report);
        clear_progress();
        print_row(node, report, release);
        if (report.reachable && std::strcmp(size_verdict(report, release), "ok") == 0 &&
            std::strcmp(digest_verdict(report, release), "ok") == 0)
            ++good;
    }
    close_handle(download_session);
    close_handle(probe_session);

    if (good == table.count) {
        say(Stream::out, "All %d nodes serve the exact file.\n", table.count);
        return EXIT_TOOL_OK;
    }
    say(Stream::out, "%d of %d nodes do not serve the exact file.\n", table.count - good, table.count);
    return EXIT_TOOL_FAILED;
}

}  // namespace

void diagnose_manifest(const char* body, uint64_t length, ManifestDiagnosis& diagnosis) {
    diagnosis.count = 0;
    if (length == 0) {
        add_problem(diagnosis, 0, "the manifest is empty");
        return;
    }
    if (length >= static_cast<uint64_t>(MANIFEST_BODY_SIZE - 1))
        add_problem(diagnosis, 0, "the manifest is %llu bytes; the installer refuses %d bytes or more",
                    static_cast<unsigned long long>(length), MANIFEST_BODY_SIZE - 1);

    // The text as the installer sees it: at most 4095 bytes, up to a NUL.
    char text[MANIFEST_BODY_SIZE];
    size_t stored = length < static_cast<uint64_t>(MANIFEST_BODY_SIZE - 1) ? static_cast<size_t>(length)
                                                                           : MANIFEST_BODY_SIZE - 1;
    std::memcpy(text, body, stored);
    text[stored] = '\0';
    size_t text_length = std::strlen(text);
    char nul_note[64] = "";
    if (text_length < stored)
        std::snprintf(nul_note, sizeof nul_note, " (byte %zu is a NUL, which ends the text)", text_length + 1);
    bool has_cr = std::memchr(text, '\r', text_length) != nullptr;

    // Lines are cut as the parser cuts them: at LF, trailing spaces and CRs removed.
    char* lines[4] = {};
    int line_count = 0;
    char* start = text;
    while (line_count < 4) {
        char* lf = std::strchr(start, '\n');
        if (lf != nullptr) *lf = '\0';
        size_t n = std::strlen(start);
        while (n > 0 && (start[n - 1] == ' ' || start[n - 1] == '\r')) start[--n] = '\0';
        lines[line_count++] = start;
        if (lf == nullptr) break;
        start = lf + 1;
    }
    if (line_count < 4) {
        add_problem(diagnosis, 0, "the manifest has %d line%s; four are needed: version, file name, size, SHA-256%s%s",
                    line_count, line_count == 1 ? "" : "s",
                    has_cr ? " (a CR alone does not end a line; lines end with LF)" : "", nul_note);
        return;
    }
    char text_out[MANIFEST_PROBLEM_TEXT];
    for (int line = 1; line <= 4; ++line) {
        if (FIELD_CHECKS[line](lines[line - 1], text_out, sizeof text_out)) {
            if (line == 4 && nul_note[0] != '\0') append(text_out, sizeof text_out, "%s", nul_note);
            add_problem(diagnosis, line, "%s", text_out);
        }
    }
}

int manifest_tool_main(int argc, const char* const* argv) {
    set_console_utf8();
    if (argc < 2) return usage_error(nullptr, "missing command");
    const char* command = argv[1];
    if (is_help(command)) {
        say(Stream::out, "%s", TOOL_HELP);
        return EXIT_TOOL_OK;
    }
    int rest = argc - 2;
    const char* const* args = argv + 2;
    if (std::strcmp(command, "create") == 0) return command_create(rest, args);
    if (std::strcmp(command, "check") == 0) return command_check(rest, args);
    if (std::strcmp(command, "hash") == 0) return command_hash(rest, args);
    if (std::strcmp(command, "mirrors") == 0) return command_mirrors(rest, args);
    return usage_error(nullptr, "unknown command '%s'", command);
}
