// `hash FILE...`: digests in sha256sum's format, computed by the installer's
// own SHA-256, so that a publisher can compare a file with what a manifest
// names, and a tester can see which engine this CPU runs (--engine) or run a
// given one (--engine=NAME).
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "os/os.hpp"
#include "tool_core.hpp"
#include "verify/sha256.hpp"

namespace tool {

namespace {

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

}  // namespace

int command_hash(const Arguments& args) {
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

}  // namespace tool
