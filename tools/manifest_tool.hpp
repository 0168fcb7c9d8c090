// trevalon-manifest, the publisher's tool: writes the four-line release
// manifest for an installer, checks a manifest as the installer would, prints
// digests as sha256sum does, checks that every download node serves the
// exact installer, and that every manifest source serves the same valid
// manifest. It runs the installer's own code for each of these (the manifest
// parser, the candidate list, the probe, the manifest source attempt
// fetch_manifest_source, the transport and the SHA-256), so a manifest it
// accepts is one the installer accepts, and a node it passes is a node the
// installer can use. The accept/reject decision on a manifest, and the rule a
// refused one is said to break, are always parse_manifest's.
#pragma once

constexpr int EXIT_TOOL_OK = 0;
constexpr int EXIT_TOOL_FAILED =
    1;                              // a rule broken, a file unreadable, a node not serving the file
constexpr int EXIT_TOOL_USAGE = 2;  // one line on standard error

// The whole tool: argv[0] is the program, argv[1] the command. Returns the exit code.
int manifest_tool_main(int argc, const char* const* argv);
