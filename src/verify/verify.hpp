// Stage 4 and the launch: a finished file is judged (its SHA-256 against the
// release's and, in a pinned build, the publisher's signature and the file's
// version resource), and only a file judged good is started. The launch lives
// here because the check holds the file it verified until the launch has
// started it: no one else ever touches that handle.
#pragma once

#include <cstdint>

#include "os/os.hpp"
#include "records.hpp"
#include "verify/version_resource.hpp"

// True when both are 64 hexadecimal digits, the same but for letter case.
bool digest_text_matches(const char* expected, const char* computed);

// How the check of a downloaded file ended. A file that fails is deleted.
enum class Verification {
    verified,  // the digest matches and, in a pinned build, the file is the one signed for
    refused,   // the digest, the signature, or the file cannot be read: another node may do
    // A pinned build's file, signed and with the release's digest, whose
    // version resource says it is not the release: every node serves the same
    // digest, so no node can give another file.
    release_refused,
};

// Checks the file's digest against the release's and, in a pinned build,
// that one of the publisher's keys signed it and that its version resource
// names the build's product at the release's version, not below the built-in
// release. A verified file stays held (hold_file) until launch_installer has
// started it.
Verification verify_download(const char* path, const ReleaseRecord& release);
// Lets go of the file that verify_download holds; nothing when none is held.
void release_checked_file();

// The publisher's keys that a file must be signed by before it is started,
// generated from the build option TREVALON_SIGNER_PINS, the OS question that
// checks them, and the reading of the signed file's version resource
// (installer_identity_refusal). An unpinned build has no keys and neither question,
// so it asks nothing and links no signature or resource code. Unit tests link
// a table of their own.
struct SignerPins {
    const unsigned char (*keys)[SIGNER_PIN_BYTES];
    uint32_t count;
    SignatureCheck (*check)(const char* path, HeldFile* file,
                            const unsigned char (*keys)[SIGNER_PIN_BYTES], uint32_t count);
    // The line that refuses the held file for its version resource, or nullptr.
    const char* (*identity_refusal)(HeldFile* file, const ReleaseRecord& release);
};
const SignerPins& signer_pins();

// Starts the verified installer through the shell; prints either outcome.
bool launch_installer(const char* path);
