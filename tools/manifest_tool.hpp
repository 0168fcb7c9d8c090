// trevalon-manifest, the publisher's tool: writes the four-line release
// manifest for an installer, checks a manifest as the installer would, prints
// digests as sha256sum does, and checks that every download node serves the
// exact installer. It runs the installer's own code for each of these (the
// manifest parser, the candidate list, the transport and the SHA-256), so a
// manifest it accepts is one the installer accepts, and a node it passes is a
// node the installer can use. The accept/reject decision on a manifest is
// always parse_manifest's; the rule names it prints are a diagnostic layer on
// top, for people.
#pragma once

#include <cstdint>

constexpr int EXIT_TOOL_OK = 0;
constexpr int EXIT_TOOL_FAILED = 1;  // a rule broken, a file unreadable, a node not serving the file
constexpr int EXIT_TOOL_USAGE = 2;   // one line on standard error

constexpr int MAX_MANIFEST_PROBLEMS = 8;
constexpr int MANIFEST_PROBLEM_TEXT = 200;

// One broken rule: the manifest line it concerns (1 to 4; 0 for the body as a
// whole) and a sentence in English naming the rule.
struct ManifestProblem {
    int line;
    char text[MANIFEST_PROBLEM_TEXT];
};

struct ManifestDiagnosis {
    int count;
    ManifestProblem problems[MAX_MANIFEST_PROBLEMS];
};

// Names every rule of the manifest format that a body of length bytes breaks,
// line by line (the first rule broken on each line), the body size limit
// included. body holds the first min(length, MANIFEST_BODY_SIZE - 1) bytes.
// Says nothing about acceptance: that is parse_manifest's.
void diagnose_manifest(const char* body, uint64_t length, ManifestDiagnosis& diagnosis);

// The whole tool: argv[0] is the program, argv[1] the command. Returns the exit code.
int manifest_tool_main(int argc, const char* const* argv);
