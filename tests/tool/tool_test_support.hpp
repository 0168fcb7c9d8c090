// Runs trevalon-manifest's commands in the test process and keeps what they
// wrote to standard output and standard error.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "manifest_tool.hpp"

struct ToolRun {
    int code;
    std::string out;
    std::string err;
};

inline ToolRun run_tool(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"trevalon-manifest"};
    for (const auto& a : args)
        argv.push_back(a.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int code = manifest_tool_main(static_cast<int>(argv.size()), argv.data());
    std::fflush(stdout);
    std::fflush(stderr);
    ToolRun run{code, testing::internal::GetCapturedStdout(), ""};
    run.err = testing::internal::GetCapturedStderr();
    return run;
}
