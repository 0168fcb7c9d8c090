// The shared core of the publisher's tool. Every decision it makes about a
// manifest or a node is the installer's own: parse_manifest accepts or refuses
// a manifest and names the rule it broke, the candidate list comes from
// build_candidates, each node is probed by probe_node, every request goes
// through the transport with the installer's timeout profiles, and every digest
// is the installer's SHA-256. What the tool adds is the part for people: files
// instead of network bodies, the digest listing in sha256sum's format, and the
// tables of what each node and source really serves. Like the installer it
// works in fixed buffers, without exceptions, and it writes nothing to disk.
// This file holds what the commands share: the command table and the option
// parser, the usage and help texts, the output helpers, and the reading and
// judging of a manifest file.
#include "tool_core.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "manifest/manifest.hpp"
#include "net/transport.hpp"
#include "net/utf16.hpp"
#include "os/os.hpp"

namespace tool {

const char TOOL[] = "trevalon-manifest";

unsigned char g_transfer_buffer[TRANSFER_BUFFER_SIZE];

// ---- output ------------------------------------------------------------------

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

namespace {

int g_progress_width = 0;

}  // namespace

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

const char* english_label(const char* label) {
    const char* slash = std::strrchr(label, '/');
    return slash != nullptr ? slash + 1 : label;
}

void url_host(const char* url, char* host, int capacity) {
    char16_t wide_host[URL_PART_UNITS], wide_path[URL_PART_UNITS];
    split_url(url, wide_host, wide_path);
    if (!utf16_to_utf8(wide_host, host, capacity)) host[0] = '\0';
}

// ---- files -----------------------------------------------------------------------

namespace {

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

}  // namespace

// Why the installer refuses a body of length bytes, or nullptr when it accepts
// it and release is filled. body holds the first of them, terminated, and is
// cut into lines as the installer's parser does. The installer refuses an
// empty body and one that does not fit its buffer before it parses anything.
// Beyond the installer, a size line must read as the number it shows: the
// installer's strtoull takes a plus sign, leading zeros and blanks, so
// "+020" would announce 20 bytes without a word. A pinned build refuses a
// release below its built-in one, as the pinned installer passes it over.
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
    reason = below_version_floor(release);
    if (reason != nullptr) return reason;
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

namespace {

constexpr char TOOL_HELP[] =
    "Usage: trevalon-manifest COMMAND [ARGUMENTS]\n"
    "Writes and checks the release manifest of the Trevalon online installer and\n"
    "checks the download nodes that serve its installer, with the installer's own code.\n"
    "\n"
    "Commands:\n"
    "  create INSTALLER [--version V]  print the manifest for an installer file\n"
    "  check MANIFEST [--installer F]  check a manifest (and its installer) as the installer does\n"
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
    "Usage: trevalon-manifest check MANIFEST [--installer FILE]\n"
    "Reads the manifest as the installer does. When the installer accepts it, prints the\n"
    "release line the installer shows for it and exits with 0; otherwise prints the first\n"
    "line and rule it breaks (a file of 4095 bytes or more is refused whole) and exits with 1.\n"
    "A size that the installer would read as another number than the line shows (a sign,\n"
    "leading zeros or blanks, more than 18446744073709551615) is refused as well.\n"
    "A pinned build refuses a version below its built-in release and warns of the names\n"
    "that sort below it (0.7.19-1, 0.7.19a and 0.7.19.hotfix all come before 0.7.19).\n"
    "With --installer, FILE must be the installer that the manifest names: its size and\n"
    "SHA-256, and its version resource as a pinned installer reads it: the ProductName\n"
    "this build was made for and a product version that is the manifest's version (not\n"
    "below the built-in release in a pinned build). It prints one more line for it.\n";

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
    "installer would pass it over or 'check' would refuse it. Exits with 0 only when every\n"
    "source serves one and the same valid manifest (and it is MANIFEST's release when one\n"
    "is given).\n";

bool is_help(const char* arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

// Whether arg is the option name, alone or as "name=value".
bool is_option(const char* arg, const char* name) {
    const size_t n = std::strlen(name);
    return std::strncmp(arg, name, n) == 0 && (arg[n] == '\0' || arg[n] == '=');
}

// The value of the option name at argv[i], given as "name=value" or as the
// next argument (which i then moves past). -1 when it is taken, otherwise the
// exit code of the usage error.
int take_value(const char* command, const char* name, int argc, const char* const* argv, int& i,
               const char*& value) {
    const char* arg = argv[i];
    const size_t n = std::strlen(name);
    if (value != nullptr) return usage_error(command, "%s given twice", name);
    if (arg[n] == '=') {
        value = arg + n + 1;
    } else if (i + 1 < argc) {
        value = argv[++i];
    } else {
        return usage_error(command, "%s needs a value", name);
    }
    return -1;
}

// Splits args into operands and options; "--" ends the options. Returns -1 when
// they are fine, otherwise the exit code (0 after help, 2 after a usage error).
int parse_arguments(const char* command, const char* help, unsigned takes, int argc,
                    const char* const* argv, Arguments& out) {
    out.count = 0;
    out.version = nullptr;
    out.engine = false;
    out.engine_name = nullptr;
    out.installer = nullptr;
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
        } else if (options && (takes & TAKES_VERSION) != 0 && is_option(arg, "--version")) {
            const int error = take_value(command, "--version", argc, argv, i, out.version);
            if (error >= 0) return error;
        } else if (options && (takes & TAKES_INSTALLER) != 0 && is_option(arg, "--installer")) {
            const int error = take_value(command, "--installer", argc, argv, i, out.installer);
            if (error >= 0) return error;
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

// The commands, in the order the tool's help lists them.
struct Command {
    const char* name;
    const char* help;
    unsigned takes;
    int (*run)(const Arguments& args);
};

constexpr Command COMMANDS[] = {
    {"create", CREATE_HELP, TAKES_VERSION, command_create},
    {"check", CHECK_HELP, TAKES_INSTALLER, command_check},
    {"hash", HASH_HELP, TAKES_ENGINE, command_hash},
    {"mirrors", MIRRORS_HELP, TAKES_NONE, command_mirrors},
    {"sources", SOURCES_HELP, TAKES_NONE, command_sources},
};

}  // namespace

}  // namespace tool

int manifest_tool_main(int argc, const char* const* argv) {
    using namespace tool;
    set_console_utf8();
    if (argc < 2) return usage_error(nullptr, "missing command");
    const char* command = argv[1];
    if (is_help(command)) {
        say(Stream::out, "%s", TOOL_HELP);
        return EXIT_TOOL_OK;
    }
    for (const Command& c : COMMANDS) {
        if (std::strcmp(command, c.name) != 0) continue;
        Arguments args;
        int early = parse_arguments(c.name, c.help, c.takes, argc - 2, argv + 2, args);
        if (early >= 0) return early;
        return c.run(args);
    }
    return usage_error(nullptr, "unknown command '%s'", command);
}
