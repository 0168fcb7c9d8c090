#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "os/library.hpp"

namespace {

// A scripted loader: one library with the functions it has; each function's
// address is its position in that list plus one.
struct Script {
    const char* library;
    std::vector<std::string> functions;
    std::vector<std::string> asked;  // "load NAME", "find NAME"
};
Script* g_script = nullptr;
int g_handle = 0;

void* script_load(const char* library) {
    g_script->asked.push_back(std::string("load ") + library);
    return std::strcmp(library, g_script->library) == 0 ? &g_handle : nullptr;
}

void* script_find(void* library, const char* function) {
    EXPECT_EQ(library, &g_handle);
    g_script->asked.push_back(std::string("find ") + function);
    for (size_t i = 0; i < g_script->functions.size(); ++i) {
        if (g_script->functions[i] == function) return reinterpret_cast<void*>(i + 1);
    }
    return nullptr;
}

const LibraryLoader SCRIPTED = {script_load, script_find};
const char* const NAMES[] = {"Open", "Read", "Close"};

struct ResolveCase {
    const char* name;
    const char* present_library;
    std::vector<std::string> present_functions;
    bool resolved;
    std::vector<std::string> asked;
};

// The Windows transport and signature check take their system functions
// through resolve_functions: a library or function that is missing must leave
// nothing half-resolved behind, so that no caller can reach a null function.
TEST(ResolveFunctions, GivesAllOrNone) {
    static const ResolveCase cases[] = {
        {"all there",
         "sys.dll",
         {"Close", "Read", "Open"},
         true,
         {"load sys.dll", "find Open", "find Read", "find Close"}},
        {"library missing", "other.dll", {"Open", "Read", "Close"}, false, {"load sys.dll"}},
        {"first missing", "sys.dll", {"Read", "Close"}, false, {"load sys.dll", "find Open"}},
        {"middle missing",
         "sys.dll",
         {"Open", "Close"},
         false,
         {"load sys.dll", "find Open", "find Read"}},
        {"last missing",
         "sys.dll",
         {"Open", "Read"},
         false,
         {"load sys.dll", "find Open", "find Read", "find Close"}},
    };
    for (const ResolveCase& c : cases) {
        SCOPED_TRACE(c.name);
        Script script = {c.present_library, c.present_functions, {}};
        g_script = &script;
        void* functions[3];
        std::memset(functions, 0xA5, sizeof functions);
        EXPECT_EQ(resolve_functions(SCRIPTED, "sys.dll", NAMES, functions, 3), c.resolved);
        EXPECT_EQ(script.asked, c.asked);
        for (int i = 0; i < 3; ++i) {
            if (!c.resolved) {
                EXPECT_EQ(functions[i], nullptr) << i;
                continue;
            }
            size_t at = 0;
            while (c.present_functions[at] != NAMES[i])
                ++at;
            EXPECT_EQ(functions[i], reinterpret_cast<void*>(at + 1)) << i;
        }
        g_script = nullptr;
    }
}

}  // namespace
