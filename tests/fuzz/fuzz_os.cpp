// The operating-system services for the fuzz targets: standard output is kept
// in memory for the tool's target to compare, the clock stands still, and
// nothing else is available (no temporary directory, no deletion, no held file,
// no launch), which the code under test never asks for.
#include "fuzz_os.hpp"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "fake_os.hpp"
#include "os/os.hpp"

namespace {
std::string g_output;
}

namespace fuzz_os {
std::string& output() {
    return g_output;
}
}  // namespace fuzz_os

void set_console_utf8() {}

void out_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length > 0) {
        std::vector<char> text(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        g_output.append(text.data(), static_cast<size_t>(length));
    }
    va_end(again);
}

void out_line(const char* text) {
    g_output += text;
    g_output += '\n';
}

void out_flush() {}

uint64_t tick_ms() {
    return 0;
}

// The scripted transport's batch reads its clock here; in a fuzz target the
// clock stands still, as tick_ms() does.
namespace fake_os {
uint64_t take_tick(uint64_t offset_ms) {
    return offset_ms;
}
uint64_t moved_ms() {
    return 0;
}
}  // namespace fake_os

uint32_t temp_directory(char*, uint32_t) {
    return 0;
}

bool delete_file(const char*) {
    return false;
}

intptr_t shell_open(const char*) {
    return 2;  // not found
}

HeldFile* hold_file(const char*) {
    return nullptr;
}

bool read_held_file(HeldFile*, void*, uint32_t, uint32_t*) {
    return false;
}

bool read_held_file_at(HeldFile*, uint64_t, void*, uint32_t, uint32_t*) {
    return false;
}

void release_file(HeldFile*) {}
