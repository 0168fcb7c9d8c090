// Stages 3 and 4 and the launch: the installer is downloaded from one node to a
// fixed path in the temporary directory, its size and SHA-256 are checked, and
// only a verified file is started. A failed attempt never leaves a file behind.
#pragma once

#include <cstdint>

#include "net/transport.hpp"
#include "records.hpp"

constexpr int INSTALLER_PATH_SIZE = 540;
constexpr int TEMP_DIR_SIZE = 261;
constexpr uint32_t TRANSFER_BUFFER_SIZE = 65536;

// Composes the temporary directory and the release's file name; prints the
// error and gives false when there is no temporary directory.
bool prepare_installer_path(const ReleaseRecord& release, char path[INSTALLER_PATH_SIZE]);

// True when the complete file stands at path. On false the failure line has
// been printed and the file deleted. Every handle it opened is closed.
bool download_from_node(NetSession* session, const MirrorNode& node, const ReleaseRecord& release,
                        const char* path);

// True when both are 64 hexadecimal digits, the same but for letter case.
bool digest_text_matches(const char* expected, const char* computed);

// True when the file's digest matches the release's; a mismatch deletes it.
bool verify_download(const char* path, const ReleaseRecord& release);

// Starts the verified installer through the shell; prints either outcome.
bool launch_installer(const char* path);
