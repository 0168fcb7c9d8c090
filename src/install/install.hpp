// Stages 3 and 4 and the launch: the installer is downloaded from one node to a
// fixed path in the temporary directory, its size and SHA-256 are checked, and
// only a verified file is started. A failed attempt never leaves a file behind.
#pragma once

#include <cstdint>

#include "net/transport.hpp"
#include "os/os.hpp"
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

// True when the file's digest matches the release's and, in a pinned build,
// it is signed by one of the publisher's keys; a file that fails either
// check is deleted.
bool verify_download(const char* path, const ReleaseRecord& release);

// The publisher's keys that a file must be signed by before it is started,
// generated from the build option TREVALON_SIGNER_PINS, and the OS question
// that checks them. An unpinned build has no keys and no check, so it asks
// nothing and links no signature code. Unit tests link a table of their own.
struct SignerPins {
    const unsigned char (*keys)[SIGNER_PIN_BYTES];
    uint32_t count;
    SignatureCheck (*check)(const char* path, const unsigned char (*keys)[SIGNER_PIN_BYTES],
                            uint32_t count);
};
const SignerPins& signer_pins();

// Starts the verified installer through the shell; prints either outcome.
bool launch_installer(const char* path);
