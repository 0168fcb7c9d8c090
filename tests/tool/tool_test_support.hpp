// Runs trevalon-manifest's commands in the test process and keeps what they
// wrote to standard output and standard error.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fake_net.hpp"
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

// What a terminal shows: on each line, what the last carriage return left.
inline std::string visible(const std::string& transcript) {
    std::string shown;
    size_t start = 0;
    while (start < transcript.size()) {
        size_t end = transcript.find('\n', start);
        std::string line =
            transcript.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t cr = line.rfind('\r');
        shown += cr == std::string::npos ? line : line.substr(cr + 1);
        if (end == std::string::npos) break;
        shown += "\n";
        start = end + 1;
    }
    return shown;
}

inline fake_net::Response served(const std::string& bytes, uint32_t status = 200) {
    fake_net::Response r = fake_net::body(bytes);
    r.status = status;
    return r;
}
