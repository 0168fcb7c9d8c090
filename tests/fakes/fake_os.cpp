#include "fake_os.hpp"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#include "fake_net.hpp"
#include "manifest/manifest.hpp"
#include "os/os.hpp"
#include "verify/verify.hpp"

namespace fake_os {
namespace {

std::vector<uint64_t> g_ticks;
size_t g_next_tick = 0;
std::string g_temp_dir;
intptr_t g_shell_result = 42;
std::vector<std::string> g_calls;
bool g_console_own = false;
std::string g_printed;
std::string g_printed_before_wait;
InstanceLock g_instance_lock = InstanceLock::held;
bool g_free_space_known = false;
uint64_t g_free_space = 0;
bool g_move_fails = false;
int g_moves_failing = 0;
std::vector<int64_t> g_sparse_marks;
std::string g_move_fails_into;
bool g_delete_fails = false;
uint64_t g_tick_offset = 0;
uint64_t g_print_ms = 0;
std::vector<std::string> g_file_events;
bool g_swap_after_hold = false;
std::string g_swapped_content;

}  // namespace

void reset() {
    g_file_events.clear();
    g_swap_after_hold = false;
    g_ticks.assign(1, 0);
    g_next_tick = 0;
    g_temp_dir.clear();
    g_shell_result = 42;
    g_calls.clear();
    g_console_own = false;
    g_printed.clear();
    g_printed_before_wait.clear();
    set_signer_pins({});
    set_signature_results({});
    use_file_identity(false);
    g_instance_lock = InstanceLock::held;
    g_free_space_known = false;
    g_free_space = 0;
    g_move_fails = false;
    g_moves_failing = 0;
    g_sparse_marks.clear();
    g_move_fails_into.clear();
    g_delete_fails = false;
    g_tick_offset = 0;
    g_print_ms = 0;
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
void set_console_own(bool own) {
    g_console_own = own;
}
const std::string& printed_before_wait() {
    return g_printed_before_wait;
}

void set_instance_lock(InstanceLock answer) {
    g_instance_lock = answer;
}
void set_free_space(uint64_t bytes) {
    g_free_space_known = true;
    g_free_space = bytes;
}
void set_moves_failing(int n) {
    g_moves_failing = n;
}

void set_move_fails(bool fails) {
    g_move_fails = fails;
}
void set_move_fails_into(const std::string& to) {
    g_move_fails_into = to;
}

const std::vector<int64_t>& sparse_marks() {
    return g_sparse_marks;
}

void set_delete_fails(bool fails) {
    g_delete_fails = fails;
}
void advance_ticks(uint64_t ms) {
    g_tick_offset += ms;
}
void set_print_ms(uint64_t ms) {
    g_print_ms = ms;
}
uint64_t take_tick(uint64_t offset_ms) {
    if (g_ticks.empty()) return offset_ms;  // a test that never reset the fake OS
    const uint64_t t = g_ticks[g_next_tick < g_ticks.size() ? g_next_tick : g_ticks.size() - 1];
    ++g_next_tick;
    return t + offset_ms;
}
uint64_t moved_ms() {
    return g_tick_offset + fake_net::read_time_ms();
}

}  // namespace fake_os

using namespace fake_os;

void restrict_library_search() {}

void set_console_utf8() {
    g_calls.push_back("console " + std::to_string(CONSOLE_CODE_PAGE_UTF8));
}

void out_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    char text[4096];
    int length = std::vsnprintf(text, sizeof text, format, again);
    va_end(again);
    if (length > 0) g_printed.append(text, std::min(static_cast<size_t>(length), sizeof text - 1));
    std::vprintf(format, args);
    va_end(args);
    g_tick_offset += g_print_ms;
}
void out_line(const char* text) {
    g_printed.append(text).append("\n");
    std::puts(text);
    g_tick_offset += g_print_ms;
}
void out_flush() {
    std::fflush(stdout);
}

uint64_t tick_ms() {
    uint64_t t = g_ticks[g_next_tick < g_ticks.size() ? g_next_tick : g_ticks.size() - 1] +
                 g_tick_offset + fake_net::read_time_ms();
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

// The held file: a real open file, and a log of what happened to the path.
struct HeldFile {
    std::FILE* file;
    std::string path;
};

namespace fake_os {

const std::vector<std::string>& file_events() {
    return g_file_events;
}

void swap_after_hold(const std::string& content) {
    g_swap_after_hold = true;
    g_swapped_content = content;
}

}  // namespace fake_os

HeldFile* hold_file(const char* path) {
    using namespace fake_os;
    g_file_events.push_back(std::string("hold ") + path);
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    if (g_swap_after_hold) {
        // Another file takes the path; the held one keeps its own bytes.
        g_swap_after_hold = false;
        std::remove(path);
        std::FILE* other = std::fopen(path, "wb");
        if (other == nullptr) std::abort();
        std::fwrite(g_swapped_content.data(), 1, g_swapped_content.size(), other);
        std::fclose(other);
    }
    return new HeldFile{file, path};
}

bool read_held_file(HeldFile* held, void* buffer, uint32_t capacity, uint32_t* count) {
    *count = static_cast<uint32_t>(std::fread(buffer, 1, capacity, held->file));
    return *count > 0 || std::ferror(held->file) == 0;
}

bool read_held_file_at(HeldFile* held, uint64_t offset, void* buffer, uint32_t capacity,
                       uint32_t* count) {
    if (offset > static_cast<uint64_t>(LONG_MAX) ||
        std::fseek(held->file, static_cast<long>(offset), SEEK_SET) != 0)
        return false;
    return read_held_file(held, buffer, capacity, count);
}

void release_file(HeldFile* held) {
    fake_os::g_file_events.push_back("release " + held->path);
    std::fclose(held->file);
    delete held;
}

bool delete_file(const char* path) {
    fake_os::g_file_events.push_back(std::string("delete ") + path);
    g_calls.push_back(std::string("delete ") + path);
    return !g_delete_fails && std::remove(path) == 0;
}

intptr_t shell_open(const char* path) {
    fake_os::g_file_events.push_back(std::string("open ") + path);
    g_calls.push_back(std::string("open ") + path);
    return g_shell_result;
}

bool console_is_own() {
    g_calls.push_back("console own?");
    return g_console_own;
}

void wait_for_enter() {
    g_calls.push_back("wait for enter");
    g_printed_before_wait = g_printed;
}

// The publisher's signature: a pin table of the test's choosing in place of
// the generated one, and scripted answers to the signature check.
namespace fake_os {
namespace {

constexpr size_t MAX_TEST_PINS = 4;
unsigned char g_keys[MAX_TEST_PINS][SIGNER_PIN_BYTES];
SignerPins g_pin_table = {nullptr, 0, nullptr, nullptr};
std::vector<SignatureCheck> g_signature_results;
size_t g_next_signature_result = 0;
bool g_file_identity = false;
InstallerIdentityReport g_identity_report = {};

const char* identify(HeldFile* file, const ReleaseRecord& release) {
    g_file_events.push_back("identity held " + file->path);
    if (g_file_identity) return installer_identity_refusal(file, release);
    return identity_refusal_line(g_identity_report, release);
}

}  // namespace

void use_file_identity(bool real) {
    g_file_identity = real;
    g_identity_report = InstallerIdentityReport{};
    g_identity_report.verdict = InstallerIdentity::matches;
}

void set_identity_report(const InstallerIdentityReport& report) {
    g_identity_report = report;
}

void set_signer_pins(const std::vector<std::string>& hex_keys) {
    if (hex_keys.size() > MAX_TEST_PINS) std::abort();
    for (size_t k = 0; k < hex_keys.size(); ++k) {
        if (hex_keys[k].size() != 2 * SIGNER_PIN_BYTES) std::abort();
        for (size_t i = 0; i < SIGNER_PIN_BYTES; ++i)
            g_keys[k][i] =
                static_cast<unsigned char>(std::stoul(hex_keys[k].substr(2 * i, 2), nullptr, 16));
    }
    g_pin_table.keys = hex_keys.empty() ? nullptr : g_keys;
    g_pin_table.count = static_cast<uint32_t>(hex_keys.size());
    g_pin_table.check = hex_keys.empty() ? nullptr : check_signature;
    g_pin_table.identity_refusal = hex_keys.empty() ? nullptr : identify;
}

void set_signature_results(const std::vector<SignatureCheck>& results) {
    g_signature_results = results;
    g_next_signature_result = 0;
}

}  // namespace fake_os

const SignerPins& signer_pins() {
    return fake_os::g_pin_table;
}

// A build with keys is a pinned build, and a pinned build holds manifests to
// the built-in release.
const char* below_version_floor(const ReleaseRecord& release) {
    return fake_os::g_pin_table.count > 0 ? version_floor_refusal(release) : nullptr;
}

SignatureCheck check_signature(const char* path, HeldFile* file,
                               const unsigned char (*keys)[SIGNER_PIN_BYTES], uint32_t count) {
    using namespace fake_os;
    g_file_events.push_back(std::string("signature ") +
                            (file != nullptr && file->path == path ? "held " : "by path ") + path);
    std::string call = std::string("signature ") + path + " ";
    for (uint32_t k = 0; k < count; ++k) {
        if (k > 0) call += ",";
        for (int i = 0; i < SIGNER_PIN_BYTES; ++i) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", keys[k][i]);
            call += hex;
        }
    }
    g_calls.push_back(call);
    if (g_signature_results.empty()) return SignatureCheck::valid;
    size_t i = std::min(g_next_signature_result++, g_signature_results.size() - 1);
    return g_signature_results[i];
}

InstanceLock take_instance_lock() {
    g_calls.push_back("lock");
    return g_instance_lock;
}

bool free_disk_space(const char* dir, uint64_t* bytes) {
    g_calls.push_back(std::string("free ") + dir);
    if (!g_free_space_known) return false;
    *bytes = g_free_space;
    return true;
}

// Real files, not logged: asking a size changes nothing.
bool file_size(const char* path, uint64_t* bytes) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *bytes = static_cast<uint64_t>(st.st_size);
    return true;
}

bool move_file_replacing(const char* from, const char* to) {
    g_calls.push_back(std::string("move ") + from + " " + to);
    if (g_moves_failing > 0) {
        --g_moves_failing;
        return false;
    }
    return !g_move_fails && g_move_fails_into != to && std::rename(from, to) == 0;
}

bool move_file_replacing_at_once(const char* from, const char* to) {
    return move_file_replacing(from, to);
}

std::FILE* open_file(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

bool allow_sparse_writes(std::FILE* file) {
    struct stat st;
    g_sparse_marks.push_back(fstat(fileno(file), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1);
    return true;
}

bool seek_file(std::FILE* file, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}
