// The shared core of trevalon-manifest, for its command files only: the
// command line (operands and the few options), the output helpers, and the
// reading and judging of a manifest file by the installer's parser plus the
// tool's stricter size rule. Each command lives in command_<name>.cpp and is
// reached through the command table in tool_core.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "download/download.hpp"
#include "manifest_tool.hpp"
#include "records.hpp"

namespace tool {

extern const char TOOL[];  // "trevalon-manifest"

// The one work buffer: file reads and node downloads both pass through it.
extern unsigned char g_transfer_buffer[TRANSFER_BUFFER_SIZE];

// ---- command line ------------------------------------------------------------------

constexpr int MAX_OPERANDS = 256;

// The operands of a command, and its one option (--version V) where it has one.
struct Arguments {
    int count;
    const char* operands[MAX_OPERANDS];
    const char* version;
    bool engine;              // hash --engine
    const char* engine_name;  // hash --engine=NAME
    const char* installer;    // check --installer FILE
};

// The options a command takes beside --help.
enum CommandOptions : unsigned {
    TAKES_NONE = 0,
    TAKES_VERSION = 1,
    TAKES_ENGINE = 2,
    TAKES_INSTALLER = 4,
};

// Prints "trevalon-manifest: [command: ]text (try ...)" on standard error and
// returns EXIT_TOOL_USAGE; command is nullptr for the tool as a whole.
int usage_error(const char* command, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The commands, called with their parsed arguments; each returns the exit code.
int command_create(const Arguments& args);
int command_check(const Arguments& args);
int command_hash(const Arguments& args);
int command_mirrors(const Arguments& args);
int command_sources(const Arguments& args);

// ---- output ------------------------------------------------------------------------

enum class Stream { out, err };

void say(Stream stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A progress text redrawn in place with \r; clear_progress blanks it before a row.
void show_progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void clear_progress();

// The node's name without the installer's Chinese half ("Node A").
const char* english_label(const char* label);

// The host the transport connects to for url.
void url_host(const char* url, char* host, int capacity);

// ---- manifests ---------------------------------------------------------------------

// Why a manifest body of length bytes is refused, by the installer or by the
// tool's stricter size rule; nullptr when it is accepted and release is filled.
const char* refusal(char* body, uint64_t length, ReleaseRecord& release);

// Reads and judges a manifest file and prints why when it is refused. Returns
// EXIT_TOOL_OK with release filled, or the exit code to end with.
int load_manifest(const char* command, const char* path, ReleaseRecord& release);

}  // namespace tool
