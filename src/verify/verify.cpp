// Stage 4: the downloaded file is read back from disk after the transfer and
// its SHA-256 compared, ignoring letter case, with the release's. A mismatch
// deletes the file so that the next node starts clean; a file that cannot be
// read is left alone, since there is nothing to say about its contents.
//
// A pinned build then asks whether a publisher's key signed the file: the
// manifest and its digest come from hosting accounts, and whoever takes one
// over can name a file of their own with its true digest. A refused file is
// deleted like a mismatched one. A signed file is then asked what it is: its
// version resource, in the signed bytes, must name the build's product at the
// manifest's version and not below the built-in release, since the manifest's
// version line is the one thing about a release that nobody signs. A file
// refused for that is refused at every node, which all serve the same digest.
//
// The file is held open from the start of the digest check (see hold_file)
// until the launch has returned: the digest and the signature are read
// through that handle, and on Windows nobody can change or replace the file
// in between.
#include <cctype>
#include <cstring>

#include "os/os.hpp"
#include "verify/sha256.hpp"
#include "verify/verify.hpp"

bool digest_text_matches(const char* expected, const char* computed) {
    constexpr size_t DIGEST_TEXT_LENGTH = SHA256_HEX_SIZE - 1;
    if (std::strlen(computed) != DIGEST_TEXT_LENGTH || std::strlen(expected) != DIGEST_TEXT_LENGTH)
        return false;
    for (size_t i = 0; i < DIGEST_TEXT_LENGTH; ++i) {
        if (std::tolower(static_cast<unsigned char>(computed[i])) !=
            std::tolower(static_cast<unsigned char>(expected[i])))
            return false;
    }
    return true;
}

namespace {

// The file from the start of its check until launch_installer has started it.
HeldFile* g_checked = nullptr;

// The line that refuses a file for its signature; nullptr for a valid one.
const char* signature_refusal(SignatureCheck check) {
    switch (check) {
        case SignatureCheck::valid:
            return nullptr;
        case SignatureCheck::not_signed:
            return "   签名无效: 文件未签名 / Signature refused: not signed";
        case SignatureCheck::file_changed:
            return "   签名无效: 签名与文件不符 / Signature refused: the signature does not match "
                   "the file";
        case SignatureCheck::other_signer:
            return "   签名无效: 非本发布者签名 / Signature refused: signed by another publisher";
        case SignatureCheck::not_trusted:
            break;
    }
    return "   签名无效: 证书不受信任 / Signature refused: certificate not trusted";
}

}  // namespace

void release_checked_file() {
    if (g_checked != nullptr) release_file(g_checked);
    g_checked = nullptr;
}

namespace {

// A signed file that is refused: its line, the file let go and deleted.
Verification refuse_checked_file(const char* path, const char* line, Verification result) {
    out_line(line);
    release_checked_file();
    delete_file(path);
    return result;
}

}  // namespace

Verification verify_download(const char* path, const ReleaseRecord& release) {
    out_line("[4/4] 校验完整性 / Verifying integrity (SHA-256)...");

    char computed[SHA256_HEX_SIZE];
    computed[0] = '\0';
    g_checked = hold_file(path);
    if (g_checked != nullptr) sha256_held_file_hex(g_checked, computed);
    if (computed[0] == '\0') {
        release_checked_file();
        out_line("   校验失败: 无法读取已下载文件 / Verify failed: cannot read downloaded file");
        return Verification::refused;
    }

    if (!digest_text_matches(release.sha256, computed)) {
        out_printf("   哈希不匹配 / Hash mismatch!\n   期望/Expected: %s\n   实际/Actual:   %s\n",
                   release.sha256, computed);
        release_checked_file();
        delete_file(path);
        return Verification::refused;
    }

    out_printf("   校验通过 / Verified  SHA-256 %s\n", release.sha256);

    const SignerPins& pins = signer_pins();
    if (pins.count == 0) return Verification::verified;
    const char* refusal = signature_refusal(pins.check(path, g_checked, pins.keys, pins.count));
    if (refusal != nullptr) return refuse_checked_file(path, refusal, Verification::refused);
    refusal = pins.identity_refusal(g_checked, release);
    if (refusal != nullptr)
        return refuse_checked_file(path, refusal, Verification::release_refused);
    return Verification::verified;
}
