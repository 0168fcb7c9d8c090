// The publisher's tool. Every decision it makes about a manifest or a node is
// the installer's own: parse_manifest accepts or refuses a manifest and names
// the rule it broke, the candidate list comes from build_candidates, each node
// is probed by probe_node, every request goes through the transport with the
// installer's timeout profiles, and every digest is the installer's SHA-256.
// What the tool adds is the part for people: files instead of network bodies,
// the digest listing in sha256sum's format, and the table of what each node
// really serves. Like the installer it works in fixed buffers, without
// exceptions, and it writes nothing to disk: a node's file is hashed as it
// arrives.
#include "manifest_tool.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "install/install.hpp"
#include "install/sha256.hpp"
#include "manifest/manifest.hpp"
#include "mirrors/mirrors.hpp"
#include "net/transport.hpp"
#include "net/utf16.hpp"
#include "os/os.hpp"
#include "records.hpp"

namespace {

constexpr char TOOL[] = "trevalon-manifest";

// A published manifest is asked for at the ModelScope source first, so that
// is the source the installer's release line names when every source serves
// the same manifest.
constexpr const char* FIRST_SOURCE_LABEL = NODE_LABELS[0];

constexpr double BYTES_PER_MB = 1048576.0;

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
void append(char* text, size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void append(char* text, size_t capacity, const char* format, ...) {
    size_t used = std::strlen(text);
    if (used + 1 >= capacity) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(text + used, capacity - used, format, args);
    va_end(args);
}

// ---- files -----------------------------------------------------------------------

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

// Why the installer refuses a body of length bytes, or nullptr when it accepts
// it and release is filled. body holds the first of them, terminated, and is
// cut into lines as the installer's parser does. The installer refuses an
// empty body and one that does not fit its buffer before it parses anything.
// Beyond the installer, a size line must read as the number it shows: the
// installer's strtoull takes signs, leading zeros and blanks and saturates, so
// "-1" would announce 18446744073709551615 bytes without a word.
const char* refusal(char* body, uint64_t length, ReleaseRecord& release) {
    static char too_long[96];
    if (length == 0) return "the manifest is empty";
    if (length >= static_cast<uint64_t>(MANIFEST_BODY_SIZE - 1)) {
        std::snprintf(too_long, sizeof too_long,
                      "the manifest is %llu bytes; the installer refuses %d bytes or more",
                      static_cast<unsigned long long>(length), MANIFEST_BODY_SIZE - 1);
        return too_long;
    }
    static char size_line[MANIFEST_BODY_SIZE];
    const char* line = body;
    for (int skip = 0; skip < 2 && line != nullptr; ++skip) {
        line = std::strchr(line, '\n');
        if (line != nullptr) ++line;
    }
    size_t line_length = 0;
    if (line != nullptr) {
        const char* lf = std::strchr(line, '\n');
        line_length = lf != nullptr ? static_cast<size_t>(lf - line) : std::strlen(line);
        while (line_length > 0 && (line[line_length - 1] == ' ' || line[line_length - 1] == '\r'))
            --line_length;
        std::memcpy(size_line, line, line_length);
    }
    size_line[line_length] = '\0';

    const char* reason = nullptr;
    if (!parse_manifest(body, release, &reason)) return reason;
    char shown[24];
    std::snprintf(shown, sizeof shown, "%llu", static_cast<unsigned long long>(release.size));
    if (std::strcmp(shown, size_line) != 0) {
        static char misread[192];
        std::snprintf(misread, sizeof misread,
                      "line 3, size: the installer reads \"%.64s\" as %s; write plain decimal "
                      "digits, no sign, no leading zeros",
                      size_line, shown);
        return misread;
    }
    return nullptr;
}

// Reads and judges a manifest file; prints why when it is refused.
// Returns EXIT_TOOL_OK with release filled, or the exit code to end with.
int load_manifest(const char* command, const char* path, ReleaseRecord& release) {
    static char body[MANIFEST_BODY_SIZE];
    uint64_t length = 0;
    if (!read_manifest_file(path, body, length)) {
        say(Stream::err, "%s: %s: cannot read '%s'\n", TOOL, command, path);
        return EXIT_TOOL_FAILED;
    }
    const char* why = refusal(body, length, release);
    if (why == nullptr) return EXIT_TOOL_OK;
    say(Stream::out, "%s: %s\n", path, why);
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
    "  sources [MANIFEST]              ask every manifest source as the installer does\n"
    "\n"
    "Run 'trevalon-manifest COMMAND --help' for a command's details.\n"
    "Exit status: 0 success, 1 a refusal or failed check, 2 a usage error.\n";

constexpr char CREATE_HELP[] =
    "Usage: trevalon-manifest create INSTALLER [--version V]\n"
    "Prints the manifest for the installer file, one field a line: version, file name,\n"
    "size in bytes and SHA-256 in lower case. The version is V, or else the part of the\n"
    "file name between its last '-' and its last '.' (Trevalon-setup-0.7.19.exe gives 0.7.19).\n"
    "Refuses, with exit status 1 and the rule broken, a manifest that the installer would\n"
    "reject or read otherwise.\n";

constexpr char CHECK_HELP[] =
    "Usage: trevalon-manifest check MANIFEST\n"
    "Reads the manifest as the installer does. When the installer accepts it, prints the\n"
    "release line the installer shows for it and exits with 0; otherwise prints the first\n"
    "line and rule it breaks (a file of 4095 bytes or more is refused whole) and exits with 1.\n"
    "A size that the installer would read as another number than the line shows (a sign,\n"
    "leading zeros or blanks, more than 18446744073709551615) is refused as well.\n";

constexpr char HASH_HELP[] =
    "Usage: trevalon-manifest hash FILE...\n"
    "Prints the SHA-256 digest of each file in sha256sum's format, computed by the\n"
    "installer's own SHA-256. Exits with 1 when a file cannot be read.\n"
    "With --engine it first prints the line \"SHA-256 engine: NAME\": the engine this\n"
    "CPU runs the digests on (sha-ext, avx2, ssse3 or portable); FILE may then be left out.\n"
    "--engine=NAME runs that engine instead, or exits with 1 when this CPU cannot.\n";

constexpr char MIRRORS_HELP[] =
    "Usage: trevalon-manifest mirrors MANIFEST\n"
    "Builds the installer's list of download nodes for the release in the manifest, probes\n"
    "each node as the installer does, downloads the whole file from every reachable node and\n"
    "checks its size and SHA-256. Prints a table: node, host, reachable, latency, throughput\n"
    "in MB/s, bytes received, size verdict and digest verdict. Nothing is written to disk.\n"
    "Exits with 0 only when every node serves the exact file.\n";

constexpr char SOURCES_HELP[] =
    "Usage: trevalon-manifest sources [MANIFEST]\n"
    "Asks the installer's five manifest sources one after another, as the installer does:\n"
    "the same transport, timeouts, size limit and parser. Prints one row per source: its\n"
    "label and host, whether it answered, whether what it serves is the same release as\n"
    "MANIFEST (or, without MANIFEST, as the first source that serves a valid one), and what\n"
    "it serves: version, file, size and the first 12 digits of the SHA-256, or why the\n"
    "installer would pass it over. Exits with 0 only when every source serves one and the\n"
    "same valid manifest (and it is MANIFEST's release when one is given).\n";

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
        std::fprintf(stderr, "%s: %s: %s (try '%s %s --help')\n", TOOL, command, text, TOOL,
                     command);
    }
    return EXIT_TOOL_USAGE;
}

bool is_help(const char* arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

constexpr int MAX_OPERANDS = 256;

// The operands of a command, and its one option (--version V) where it has one.
struct Arguments {
    int count;
    const char* operands[MAX_OPERANDS];
    const char* version;
    bool engine;              // hash --engine
    const char* engine_name;  // hash --engine=NAME
};

// The options a command takes beside --help.
enum CommandOptions : unsigned { TAKES_NONE = 0, TAKES_VERSION = 1, TAKES_ENGINE = 2 };

// Splits args into operands and options; "--" ends the options. Returns -1 when
// they are fine, otherwise the exit code (0 after help, 2 after a usage error).
int parse_arguments(const char* command, const char* help, unsigned takes, int argc,
                    const char* const* argv, Arguments& out) {
    out.count = 0;
    out.version = nullptr;
    out.engine = false;
    out.engine_name = nullptr;
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
        } else if (options && (takes & TAKES_VERSION) != 0 &&
                   std::strncmp(arg, "--version", 9) == 0 && (arg[9] == '\0' || arg[9] == '=')) {
            if (out.version != nullptr) return usage_error(command, "--version given twice");
            if (arg[9] == '=') {
                out.version = arg + 10;
            } else if (i + 1 < argc) {
                out.version = argv[++i];
            } else {
                return usage_error(command, "--version needs a value");
            }
        } else if (options && (takes & TAKES_ENGINE) != 0 &&
                   std::strncmp(arg, "--engine", 8) == 0 && (arg[8] == '\0' || arg[8] == '=')) {
            out.engine = true;
            if (arg[8] == '=') out.engine_name = arg + 9;
        } else if (options && arg[0] == '-' && arg[1] != '\0') {
            return usage_error(command, "unknown option '%s'", arg);
        } else {
            if (out.count >= MAX_OPERANDS)
                return usage_error(command, "more than %d files", MAX_OPERANDS);
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

int command_create(int argc, const char* const* argv) {
    Arguments args;
    int early = parse_arguments("create", CREATE_HELP, TAKES_VERSION, argc, argv, args);
    if (early >= 0) return early;
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

// ---- check -------------------------------------------------------------------------

int command_check(int argc, const char* const* argv) {
    Arguments args;
    int early = parse_arguments("check", CHECK_HELP, TAKES_NONE, argc, argv, args);
    if (early >= 0) return early;
    if (args.count == 0) return usage_error("check", "missing MANIFEST");
    if (args.count > 1) return usage_error("check", "one MANIFEST only, got %d", args.count);
    ReleaseRecord release = {};
    int result = load_manifest("check", args.operands[0], release);
    if (result != EXIT_TOOL_OK) return result;
    print_release_line(release, FIRST_SOURCE_LABEL);
    return EXIT_TOOL_OK;
}

// ---- hash --------------------------------------------------------------------------

// sha256sum's line: a name holding a backslash, LF or CR is escaped and the
// line starts with a backslash. On Windows a backslash is the path separator
// and is printed as given; only a line end, which no file name there can hold,
// would be escaped.
#ifdef _WIN32
constexpr bool HASH_ESCAPES_BACKSLASH = false;
#else
constexpr bool HASH_ESCAPES_BACKSLASH = true;
#endif

void print_hash_line(const char* hex, const char* name) {
    bool escape = std::strpbrk(name, "\n\r") != nullptr ||
                  (HASH_ESCAPES_BACKSLASH && std::strchr(name, '\\') != nullptr);
    static char line[8192];
    line[0] = '\0';
    append(line, sizeof line, "%s%s  ", escape ? "\\" : "", hex);
    for (const char* p = name; *p != '\0'; ++p) {
        if (escape && HASH_ESCAPES_BACKSLASH && *p == '\\') {
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
    int early = parse_arguments("hash", HASH_HELP, TAKES_ENGINE, argc, argv, args);
    if (early >= 0) return early;
    if (args.count == 0 && !args.engine) return usage_error("hash", "missing FILE");
    if (args.engine_name != nullptr) {
        int e = 0;
        while (e < SHA256_ENGINE_COUNT &&
               std::strcmp(args.engine_name, sha256_engine_name(static_cast<Sha256Engine>(e))) != 0)
            ++e;
        if (e == SHA256_ENGINE_COUNT)
            return usage_error("hash", "no engine '%s': sha-ext, avx2, ssse3 or portable",
                               args.engine_name);
        if (!sha256_select_engine(static_cast<Sha256Engine>(e))) {
            say(Stream::err, "%s: hash: this CPU cannot run the %s engine\n", TOOL,
                args.engine_name);
            return EXIT_TOOL_FAILED;
        }
    }
    if (args.engine) out_printf("SHA-256 engine: %s\n", sha256_engine_name(sha256_engine_in_use()));
    int result = EXIT_TOOL_OK;
    for (int i = 0; i < args.count; ++i) {
        uint64_t size = 0;
        char hex[SHA256_HEX_SIZE];
        if (!sha256_file(args.operands[i], hex, size)) {
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
    bool responded;           // the download request got a 200 or 206
    bool transfer_ok;         // the body was read to its end without an error
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
                show_progress("   %s  %3llu%%  (%.1f / %.1f MB)", name,
                              static_cast<unsigned long long>(percent),
                              static_cast<double>(report.received) / BYTES_PER_MB,
                              static_cast<double>(release.size) / BYTES_PER_MB);
            }
        }
        report.elapsed_ms = tick_ms() - start;
        uint8_t digest[SHA256_DIGEST_BYTES];
        sha256_final(context, digest);
        sha256_digest_hex(digest, report.sha256);
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
    return digest_text_matches(release.sha256, report.sha256) ? "ok" : "mismatch";
}

constexpr char TABLE_ROW_FORMAT[] = "%-6s  %-24s  %-9s  %8s  %8s  %10s  %-10s  %s\n";

void print_row(const MirrorNode& node, const NodeReport& report, const ReleaseRecord& release) {
    char host[URL_PART_UNITS * 3];
    url_host(node.url, host, sizeof host);
    char latency[16] = "-", speed[16] = "-", bytes[24] = "-";
    if (report.reachable) std::snprintf(latency, sizeof latency, "%u ms", node.latency_ms);
    if (report.responded) {
        std::snprintf(bytes, sizeof bytes, "%llu",
                      static_cast<unsigned long long>(report.received));
        if (report.elapsed_ms > 0 && report.received > 0) {
            double mb_per_s = static_cast<double>(report.received) / BYTES_PER_MB /
                              (static_cast<double>(report.elapsed_ms) / 1000.0);
            std::snprintf(speed, sizeof speed, "%.2f", mb_per_s);
        }
    }
    say(Stream::out, TABLE_ROW_FORMAT, english_label(node.label), host,
        report.reachable ? "yes" : "no", latency, speed, bytes, size_verdict(report, release),
        digest_verdict(report, release));
}

int command_mirrors(int argc, const char* const* argv) {
    Arguments args;
    int early = parse_arguments("mirrors", MIRRORS_HELP, TAKES_NONE, argc, argv, args);
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

    say(Stream::out, "Release v%s  %s  %llu bytes  SHA-256 %s\n", release.version,
        release.file_name, static_cast<unsigned long long>(release.size), release.sha256);
    say(Stream::out, TABLE_ROW_FORMAT, "NODE", "HOST", "REACHABLE", "LATENCY", "MB/S", "BYTES",
        "SIZE", "SHA-256");
    int good = 0;
    for (int i = 0; i < table.count; ++i) {
        MirrorNode& node = table.nodes[i];
        NodeReport report = {};
        show_progress("   %s  probing", english_label(node.label));
        report.reachable = probe_node(probe_session, node);
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
    say(Stream::out, "%d of %d nodes do not serve the exact file.\n", table.count - good,
        table.count);
    return EXIT_TOOL_FAILED;
}

// ---- sources -----------------------------------------------------------------------

constexpr int SHORT_DIGEST_CHARS = 12;

// One release or the other as the installer would install them: the same
// version, file, size and digest (the digest's letter case aside, as the
// installer's own comparison has it).
bool same_release(const ReleaseRecord& a, const ReleaseRecord& b) {
    return std::strcmp(a.version, b.version) == 0 && std::strcmp(a.file_name, b.file_name) == 0 &&
           a.size == b.size && digest_text_matches(a.sha256, b.sha256);
}

void describe_release(const ReleaseRecord& release, char* text, size_t capacity) {
    std::snprintf(text, capacity, "v%s  %s  %llu bytes  SHA-256 %.*s", release.version,
                  release.file_name, static_cast<unsigned long long>(release.size),
                  SHORT_DIGEST_CHARS, release.sha256);
}

// What a source that gave no manifest did instead, for its row.
const char* outcome_text(SourceOutcome outcome, const char* reason) {
    switch (outcome) {
        case SourceOutcome::accepted:
            return "";
        case SourceOutcome::empty_entry:
            return "no source in this slot";
        case SourceOutcome::unreachable:
            return "no response";
        case SourceOutcome::bad_status:
            return "no manifest: status other than 200 or 206";
        case SourceOutcome::read_failed:
            return "no manifest: the body broke off";
        case SourceOutcome::empty_body:
            return "no manifest: an empty body";
        case SourceOutcome::too_long:
            return "no manifest: a body of 4095 bytes or more";
        case SourceOutcome::refused:
            return reason != nullptr ? reason : "no manifest";
    }
    return "";
}

constexpr char SOURCE_ROW_FORMAT[] = "%-2s %-6s  %-25s  %-9s  %-8s  %s\n";

int command_sources(int argc, const char* const* argv) {
    Arguments args;
    int early = parse_arguments("sources", SOURCES_HELP, TAKES_NONE, argc, argv, args);
    if (early >= 0) return early;
    if (args.count > 1) return usage_error("sources", "one MANIFEST at most, got %d", args.count);

    ReleaseRecord reference = {};
    bool have_reference = false;
    if (args.count == 1) {
        int result = load_manifest("sources", args.operands[0], reference);
        if (result != EXIT_TOOL_OK) return result;
        have_reference = true;
    }

    NetSession* session = open_session();
    if (session == nullptr) {
        say(Stream::err, "%s: sources: cannot open an HTTPS session\n", TOOL);
        return EXIT_TOOL_FAILED;
    }
    apply_timeouts(session, PROBE_PROFILE);

    if (have_reference) {
        char text[256];
        describe_release(reference, text, sizeof text);
        say(Stream::out, "Against %s: %s\n", args.operands[0], text);
    } else {
        say(Stream::out, "Against the first source that serves a valid manifest\n");
    }
    say(Stream::out, SOURCE_ROW_FORMAT, "#", "SOURCE", "HOST", "REACHABLE", "MANIFEST", "SERVES");

    int good = 0;
    for (int i = 0; i < MANIFEST_SOURCE_COUNT; ++i) {
        const char* url = MANIFEST_SOURCES[i];
        char number[8], host[URL_PART_UNITS * 3];
        std::snprintf(number, sizeof number, "%d", i + 1);
        show_progress("   %s %s  asking", number, english_label(manifest_source_label(url)));
        ReleaseRecord served = {};
        const char* reason = nullptr;
        SourceOutcome outcome = fetch_manifest_source(session, url, served, &reason);
        clear_progress();

        const char* reachable = "yes";
        if (outcome == SourceOutcome::empty_entry) reachable = "-";
        if (outcome == SourceOutcome::unreachable) reachable = "no";
        const char* verdict = "-";
        char serves[256];
        if (outcome == SourceOutcome::accepted) {
            if (!have_reference) {
                reference = served;
                have_reference = true;
            }
            bool same = same_release(served, reference);
            verdict = same ? "same" : "differs";
            if (same) ++good;
            describe_release(served, serves, sizeof serves);
        } else {
            std::snprintf(serves, sizeof serves, "%s", outcome_text(outcome, reason));
        }
        url_host(url != nullptr ? url : "", host, sizeof host);
        say(Stream::out, SOURCE_ROW_FORMAT, number, english_label(manifest_source_label(url)),
            host[0] != '\0' ? host : "-", reachable, verdict, serves);
    }
    close_handle(session);

    if (good == MANIFEST_SOURCE_COUNT) {
        say(Stream::out, "All %d sources serve the same valid manifest.\n", MANIFEST_SOURCE_COUNT);
        return EXIT_TOOL_OK;
    }
    say(Stream::out, "%d of %d sources do not serve the same valid manifest.\n",
        MANIFEST_SOURCE_COUNT - good, MANIFEST_SOURCE_COUNT);
    return EXIT_TOOL_FAILED;
}

}  // namespace

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
    if (std::strcmp(command, "sources") == 0) return command_sources(rest, args);
    return usage_error(nullptr, "unknown command '%s'", command);
}
