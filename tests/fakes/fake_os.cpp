#include "fake_os.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "os/os.hpp"

namespace fake_os {
namespace {

std::vector<uint64_t> g_ticks;
size_t g_next_tick = 0;
std::string g_temp_dir;
intptr_t g_shell_result = 42;
std::vector<std::string> g_calls;

}  // namespace

void reset() {
    g_ticks.assign(1, 0);
    g_next_tick = 0;
    g_temp_dir.clear();
    g_shell_result = 42;
    g_calls.clear();
}

void set_ticks(const std::vector<uint64_t>& ticks) {
    g_ticks = ticks.empty() ? std::vector<uint64_t>{0} : ticks;
    g_next_tick = 0;
}
void set_temp_dir(const std::string& dir) {
    g_temp_dir = dir;
}
void set_shell_result(intptr_t result) {
    g_shell_result = result;
}
const std::vector<std::string>& calls() {
    return g_calls;
}

}  // namespace fake_os

using namespace fake_os;

void set_console_utf8() {
    g_calls.push_back("console " + std::to_string(CONSOLE_CODE_PAGE_UTF8));
}

void out_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}
void out_line(const char* text) {
    std::puts(text);
}
void out_flush() {
    std::fflush(stdout);
}

uint64_t tick_ms() {
    uint64_t t = g_ticks[g_next_tick < g_ticks.size() ? g_next_tick : g_ticks.size() - 1];
    ++g_next_tick;
    g_calls.push_back("tick " + std::to_string(t));
    return t;
}

uint32_t temp_directory(char* dir, uint32_t capacity) {
    g_calls.push_back("temp " + g_temp_dir);
    if (g_temp_dir.empty() || g_temp_dir.size() + 1 > capacity) return 0;
    std::memcpy(dir, g_temp_dir.c_str(), g_temp_dir.size() + 1);
    return static_cast<uint32_t>(g_temp_dir.size());
}

bool delete_file(const char* path) {
    g_calls.push_back(std::string("delete ") + path);
    return std::remove(path) == 0;
}

intptr_t shell_open(const char* path) {
    g_calls.push_back(std::string("open ") + path);
    return g_shell_result;
}
