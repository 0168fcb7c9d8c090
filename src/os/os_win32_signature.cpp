// The publisher's signature on Windows. WinVerifyTrust checks the file's
// Authenticode signature against the file and the chain of its certificate,
// with no UI, no revocation check and URL retrieval from the cache only, so
// that the check never goes to the network. The signer's certificate then
// comes from the verified state, and the SHA-256 of its SubjectPublicKeyInfo
// must be one of the pins.
//
// The pin carries the trust, not the certificate store. A fresh Windows holds
// few roots and fetches the others on first use, which a cache-only check
// never does; a chain that ends in a root the store does not know, or stops
// short of one, is therefore accepted once the signer's key is pinned. What
// that vouches for is the key, and only the key: whoever holds it can make a
// fresh self-signed certificate for it, valid now, marked for code signing
// and with any constraints. The certificate's own fields (its validity, its
// use for code signing, its constraints) are still checked, but with a pin
// they are hygiene, chosen by the key's holder; they do not stop a stolen
// key. A stolen key is answered only by a build with a new pin, the old key
// kept beside it or dropped (scripts/release --pin, --no-pin). A digest that
// differs or a signature that does not verify is refused as ever.
//
// No untrusted time is taken either: the certificate is judged at the signing
// time of a countersignature (a time stamp) only when the countersignature
// verified and the countersigner's own chain ends in a root the store trusts,
// and at the current time otherwise, so that a countersignature made by
// whoever holds the key cannot move the check into the certificate's past.
// That holds for a chain that the store trusts whole as well: its holder's
// key may be the stolen one.
//
// The signature covers the file but for its certificate table, and
// WinVerifyTrust reads only the first signature in that table, up to the
// signature's own length; where the padding check is not turned on (it is
// not by default), bytes put after it, inside the table or after the table,
// leave the signature valid. So the table must be where the header says, end
// the file, and hold the one signature and no more than the zeros that
// round it to eight bytes.
//
// The chain is checked once more with the Authenticode chain policy at that
// time. On Windows this repeats what WinVerifyTrust did; Wine's
// WinVerifyTrust does not apply the chain policy to SHA-256-signed
// certificates (nor verify countersignatures), and this way an expired or
// wrongly used certificate is refused on both.
//
// wintrust.dll and crypt32.dll are loaded from System32 and their functions
// resolved at the first check; when one is missing, every file is refused.
#include <windows.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdint>
#include <cstring>

#include "os/library.hpp"
#include "os/os.hpp"

namespace {

struct WinTrust {
    decltype(&::WinVerifyTrust) WinVerifyTrust;
    decltype(&::WTHelperProvDataFromStateData) WTHelperProvDataFromStateData;
    decltype(&::WTHelperGetProvSignerFromChain) WTHelperGetProvSignerFromChain;
    decltype(&::WTHelperGetProvCertFromChain) WTHelperGetProvCertFromChain;
};
const char* const WINTRUST_FUNCTIONS[] = {"WinVerifyTrust", "WTHelperProvDataFromStateData",
                                          "WTHelperGetProvSignerFromChain",
                                          "WTHelperGetProvCertFromChain"};

struct Crypt32 {
    decltype(&::CryptHashPublicKeyInfo) CryptHashPublicKeyInfo;
    decltype(&::CertGetCertificateChain) CertGetCertificateChain;
    decltype(&::CertVerifyCertificateChainPolicy) CertVerifyCertificateChainPolicy;
    decltype(&::CertFreeCertificateChain) CertFreeCertificateChain;
};
const char* const CRYPT32_FUNCTIONS[] = {"CryptHashPublicKeyInfo", "CertGetCertificateChain",
                                         "CertVerifyCertificateChainPolicy",
                                         "CertFreeCertificateChain"};

static_assert(sizeof(WinTrust) == sizeof WINTRUST_FUNCTIONS, "one name per function");
static_assert(sizeof(Crypt32) == sizeof CRYPT32_FUNCTIONS, "one name per function");

WinTrust g_wintrust;
Crypt32 g_crypt32;

// Loads both libraries once; false when one of them or a function is missing.
bool libraries_loaded() {
    static bool tried = false;
    static bool loaded = false;
    if (!tried) {
        tried = true;
        void* trust[sizeof WINTRUST_FUNCTIONS / sizeof(void*)];
        void* crypt[sizeof CRYPT32_FUNCTIONS / sizeof(void*)];
        const LibraryLoader& loader = system_library_loader();
        loaded = resolve_functions(loader, "wintrust.dll", WINTRUST_FUNCTIONS, trust,
                                   sizeof trust / sizeof trust[0]) &&
                 resolve_functions(loader, "crypt32.dll", CRYPT32_FUNCTIONS, crypt,
                                   sizeof crypt / sizeof crypt[0]);
        if (loaded) {
            std::memcpy(&g_wintrust, trust, sizeof g_wintrust);
            std::memcpy(&g_crypt32, crypt, sizeof g_crypt32);
        }
    }
    return loaded;
}

// The checks below call the system's functions by their own names; the names
// stand for the loaded ones.
#define WinVerifyTrust g_wintrust.WinVerifyTrust
#define WTHelperProvDataFromStateData g_wintrust.WTHelperProvDataFromStateData
#define WTHelperGetProvSignerFromChain g_wintrust.WTHelperGetProvSignerFromChain
#define WTHelperGetProvCertFromChain g_wintrust.WTHelperGetProvCertFromChain
#define CryptHashPublicKeyInfo g_crypt32.CryptHashPublicKeyInfo
#define CertGetCertificateChain g_crypt32.CertGetCertificateChain
#define CertVerifyCertificateChainPolicy g_crypt32.CertVerifyCertificateChainPolicy
#define CertFreeCertificateChain g_crypt32.CertFreeCertificateChain

constexpr int WIDE_PATH_UNITS = 1024;

SignatureCheck refusal_of(LONG status) {
    switch (status) {
        case TRUST_E_NOSIGNATURE:
        case TRUST_E_SUBJECT_FORM_UNKNOWN:
        case TRUST_E_PROVIDER_UNKNOWN:
            return SignatureCheck::not_signed;
        case CERT_E_UNTRUSTEDROOT:
        case CERT_E_CHAINING:
        case CERT_E_EXPIRED:
        case CERT_E_VALIDITYPERIODNESTING:
        case CERT_E_WRONG_USAGE:
        case CERT_E_PURPOSE:
        case CERT_E_UNTRUSTEDTESTROOT:
        case CERT_E_REVOKED:
        case TRUST_E_EXPLICIT_DISTRUST:
        case TRUST_E_BASIC_CONSTRAINTS:
        case TRUST_E_CERT_SIGNATURE:
        case CRYPT_E_SECURITY_SETTINGS:
            return SignatureCheck::not_trusted;
        default:
            // A digest that differs, a broken signature block, and anything
            // else that keeps the signature from verifying.
            return SignatureCheck::file_changed;
    }
}

// A root the store does not know, or a chain that stops short of one: what a
// pinned key is trusted without.
constexpr DWORD UNKNOWN_ROOT = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN;

bool unknown_root(LONG status) {
    return status == CERT_E_UNTRUSTEDROOT || status == CERT_E_CHAINING;
}

// The certificate chains for the usage at the given time (nullptr: now), by
// the chain policy, with nothing fetched; with allow_unknown_root the root
// may be one the store does not know.
bool chain_passes(PCCERT_CONTEXT certificate, FILETIME* when, const char* usage,
                  LPCSTR chain_policy, bool allow_unknown_root) {
    LPSTR usages[] = {const_cast<LPSTR>(usage)};
    CERT_CHAIN_PARA para;
    std::memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, when, certificate->hCertStore, &para,
                                 CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &chain)) {
        return false;
    }
    const DWORD tolerated = allow_unknown_root ? UNKNOWN_ROOT : 0;
    CERT_CHAIN_POLICY_PARA policy;
    std::memset(&policy, 0, sizeof policy);
    policy.cbSize = sizeof policy;
    policy.dwFlags = allow_unknown_root ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    CERT_CHAIN_POLICY_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    const bool trusted = (chain->TrustStatus.dwErrorStatus & ~tolerated) == CERT_TRUST_NO_ERROR &&
                         CertVerifyCertificateChainPolicy(chain_policy, chain, &policy, &status) &&
                         (status.dwError == 0 ||
                          (allow_unknown_root && unknown_root(static_cast<LONG>(status.dwError))));
    CertFreeCertificateChain(chain);
    return trusted;
}

// The signer's certificate chains for code signing at the given time
// (nullptr: now), by the Authenticode policy; the root may be unknown.
bool chain_trusted(PCCERT_CONTEXT signer, FILETIME* when) {
    return chain_passes(signer, when, szOID_PKIX_KP_CODE_SIGNING, CERT_CHAIN_POLICY_AUTHENTICODE,
                        true);
}

// Whether the signer's first countersignature verified and its certificate
// chains, at the time it states, to a root the store trusts, for time
// stamping: only then is that time more than the key holder's word.
bool countersigner_trusted(CRYPT_PROVIDER_SGNR* signer) {
    if (signer->csCounterSigners == 0 || signer->pasCounterSigners == nullptr) return false;
    const CRYPT_PROVIDER_SGNR& counter = signer->pasCounterSigners[0];
    if (counter.dwError != ERROR_SUCCESS || counter.csCertChain == 0 ||
        counter.pasCertChain == nullptr || counter.pasCertChain[0].pCert == nullptr)
        return false;
    return chain_passes(counter.pasCertChain[0].pCert, &signer->sftVerifyAsOf,
                        szOID_PKIX_KP_TIMESTAMP_SIGNING, CERT_CHAIN_POLICY_BASE, false);
}

// The signer's key against the pins, and its chain, from WinVerifyTrust's
// state.
SignatureCheck check_signer(HANDLE state, const unsigned char (*keys)[SIGNER_PIN_BYTES],
                            uint32_t count) {
    CRYPT_PROVIDER_DATA* data = WTHelperProvDataFromStateData(state);
    // Reached after an unknown root too: the file's digest and the signature
    // must have verified all the same.
    if (data == nullptr || data->padwTrustStepErrors == nullptr ||
        data->cdwTrustStepErrors <= TRUSTERROR_STEP_FINAL_SIGPROV ||
        data->padwTrustStepErrors[TRUSTERROR_STEP_FINAL_OBJPROV] != ERROR_SUCCESS ||
        data->padwTrustStepErrors[TRUSTERROR_STEP_FINAL_SIGPROV] != ERROR_SUCCESS) {
        return SignatureCheck::file_changed;
    }
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(data, 0, FALSE, 0);
    CRYPT_PROVIDER_CERT* cert =
        signer != nullptr ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (cert == nullptr || cert->pCert == nullptr) return SignatureCheck::file_changed;

    BYTE key_hash[SIGNER_PIN_BYTES];
    DWORD hash_size = sizeof key_hash;
    if (!CryptHashPublicKeyInfo(0, CALG_SHA_256, 0, X509_ASN_ENCODING,
                                &cert->pCert->pCertInfo->SubjectPublicKeyInfo, key_hash,
                                &hash_size) ||
        hash_size != sizeof key_hash) {
        return SignatureCheck::file_changed;
    }
    bool pinned = false;
    for (uint32_t i = 0; i < count && !pinned; ++i)
        pinned = std::memcmp(keys[i], key_hash, sizeof key_hash) == 0;
    if (!pinned) return SignatureCheck::other_signer;
    // nullptr: the current time.
    FILETIME* when = countersigner_trusted(signer) ? &signer->sftVerifyAsOf : nullptr;
    if (!chain_trusted(cert->pCert, when)) return SignatureCheck::not_trusted;
    return SignatureCheck::valid;
}

uint32_t little_endian(const unsigned char* bytes, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

bool read_exactly(HeldFile* file, uint64_t offset, unsigned char* buffer, uint32_t count) {
    uint32_t got = 0;
    return read_held_file_at(file, offset, buffer, count, &got) && got == count;
}

// The length of the DER value that starts at der (a SEQUENCE), header
// included; 0 when it is not one or its length takes more than four bytes.
uint64_t der_sequence_length(const unsigned char* der) {
    if (der[0] != 0x30) return 0;
    if (der[1] < 0x80) return 2u + der[1];
    const int bytes = der[1] & 0x7f;
    if (bytes == 0 || bytes > 4) return 0;
    uint64_t length = 0;
    for (int i = 0; i < bytes; ++i)
        length = length << 8 | der[2 + i];
    return 2u + bytes + length;
}

// Whether there are bytes beside the signature: in the certificate table that
// the image's header points at, past the signature and the up to seven zeros
// that round it to eight bytes, or after the table, which must end the file.
// False for a file without a table or no image at all, which WinVerifyTrust
// refuses on its own terms.
bool bytes_beside_signature(HeldFile* file) {
    LARGE_INTEGER file_size;
    unsigned char dos[64];
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(file), &file_size) ||
        !read_exactly(file, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') {
        return false;
    }
    // The signature, the file header, and the optional header up to the
    // security directory (the fifth) of a 64-bit image, the larger of the two.
    constexpr uint32_t OPTIONAL_AT = 24;
    unsigned char headers[OPTIONAL_AT + 112 + 5 * 8];
    const uint32_t pe = little_endian(dos + 0x3c, 4);
    if (!read_exactly(file, pe, headers, sizeof headers) ||
        std::memcmp(headers, "PE\0\0", 4) != 0) {
        return false;
    }
    const uint32_t optional_size = little_endian(headers + 20, 2);
    const uint32_t magic = little_endian(headers + OPTIONAL_AT, 2);
    const uint32_t directories = magic == 0x20b ? 112 : magic == 0x10b ? 96 : 0;
    if (directories == 0 || optional_size < directories + 5 * 8 ||
        little_endian(headers + OPTIONAL_AT + directories - 4, 4) < 5) {
        return false;
    }
    const uint64_t table = little_endian(headers + OPTIONAL_AT + directories + 4 * 8, 4);
    const uint64_t table_size = little_endian(headers + OPTIONAL_AT + directories + 4 * 8 + 4, 4);
    if (table == 0 && table_size == 0) return false;
    // The entry's length and kind, and the DER header of its signature.
    unsigned char entry[8 + 6];
    if (table_size < sizeof entry ||
        table + table_size != static_cast<uint64_t>(file_size.QuadPart) ||
        !read_exactly(file, table, entry, sizeof entry)) {
        return true;
    }
    const uint64_t entry_length = little_endian(entry, 4);
    const uint64_t signature_length = der_sequence_length(entry + 8);
    const uint64_t end = 8 + signature_length;
    if (signature_length == 0 || end > entry_length || entry_length > table_size ||
        table_size - end >= 8) {
        return true;
    }
    unsigned char padding[8] = {};
    const auto padding_length = static_cast<uint32_t>(table_size - end);
    if (padding_length != 0 && !read_exactly(file, table + end, padding, padding_length)) {
        return true;
    }
    for (uint32_t i = 0; i < padding_length; ++i) {
        if (padding[i] != 0) return true;
    }
    return false;
}

}  // namespace

SignatureCheck check_signature(const char* path, HeldFile* held,
                               const unsigned char (*keys)[SIGNER_PIN_BYTES], uint32_t count) {
    // Fails closed: a check that cannot run refuses the file.
    if (!libraries_loaded()) return SignatureCheck::file_changed;
    wchar_t wide_path[WIDE_PATH_UNITS];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide_path, WIDE_PATH_UNITS) <= 0) {
        return SignatureCheck::file_changed;
    }

    WINTRUST_FILE_INFO file;
    std::memset(&file, 0, sizeof file);
    file.cbStruct = sizeof file;
    file.pcwszFilePath = wide_path;
    // WinVerifyTrust reads the held file, from its start, not the path.
    file.hFile = reinterpret_cast<HANDLE>(held);
    if (bytes_beside_signature(held)) return SignatureCheck::file_changed;
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!SetFilePointerEx(file.hFile, start, nullptr, FILE_BEGIN)) {
        return SignatureCheck::file_changed;
    }

    WINTRUST_DATA trust;
    std::memset(&trust, 0, sizeof trust);
    trust.cbStruct = sizeof trust;
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &file;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    HWND no_ui = static_cast<HWND>(INVALID_HANDLE_VALUE);
    LONG status = WinVerifyTrust(no_ui, &action, &trust);
    SignatureCheck result = status == ERROR_SUCCESS || unknown_root(status)
                                ? check_signer(trust.hWVTStateData, keys, count)
                                : refusal_of(status);

    // Closing the state ends WinVerifyTrust's use of the file; it stays held.
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    (void)WinVerifyTrust(no_ui, &action, &trust);
    return result;
}
