// parse_manifest over any body: the two overloads agree on the result, the
// record and the in-place edits of the body; a refused body leaves the record
// byte for byte as it was and names the rule the model says it broke first; an
// accepted record obeys every field rule and holds what the model read.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "manifest/manifest.hpp"
#include "manifest_model.hpp"

namespace {

// A record full of bytes that are neither zero nor terminators, so that any
// write to it, and any read of a field that was not written, shows.
void fill_record(ReleaseRecord& r, const uint8_t* data, size_t size) {
    unsigned char seed = size > 0 ? data[0] : 0x5A;
    auto* bytes = reinterpret_cast<unsigned char*>(&r);
    for (size_t i = 0; i < sizeof r; ++i)
        bytes[i] = static_cast<unsigned char>(0x80 | ((seed + i * 31) & 0x7F));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exact-size copies, so that a read past the terminator is an ASan report.
    std::vector<char> plain(data, data + size), with_reason(data, data + size);
    plain.push_back('\0');
    with_reason.push_back('\0');

    ReleaseRecord before, first, second;
    fill_record(before, data, size);
    std::memcpy(&first, &before, sizeof before);
    std::memcpy(&second, &before, sizeof before);

    bool accepted = parse_manifest(plain.data(), first);
    const char* reason = nullptr;
    bool accepted_too = parse_manifest(with_reason.data(), second, &reason);

    FUZZ_CHECK(accepted == accepted_too, "the two overloads disagree");
    FUZZ_CHECK(plain == with_reason, "the two overloads edit the body differently");
    FUZZ_CHECK(std::memcmp(&first, &second, sizeof first) == 0,
               "the two overloads fill the record differently");

    model::Manifest expected = model::parse(data, size);
    FUZZ_CHECK(accepted == (expected.broken == model::Rule::none), "the model judges otherwise");

    if (!accepted) {
        FUZZ_CHECK(std::memcmp(&first, &before, sizeof first) == 0, "a refusal wrote the record");
        FUZZ_CHECK(reason != nullptr && reason[0] != '\0', "a refusal without a reason");
        const char* prefix = model::reason_prefix(expected.broken);
        FUZZ_CHECK(std::strncmp(reason, prefix, std::strlen(prefix)) == 0,
                   "the reason names another rule than the first one broken");
        return 0;
    }

    const char* broken = model::broken_field_rule(first);
    if (broken != nullptr) std::fprintf(stderr, "accepted record: %s\n", broken);
    FUZZ_CHECK(broken == nullptr, "an accepted record breaks a field rule");
    FUZZ_CHECK(expected.version == first.version, "version differs from the model's");
    FUZZ_CHECK(expected.file_name == first.file_name, "file name differs from the model's");
    FUZZ_CHECK(expected.sha256 == first.sha256, "digest differs from the model's");
    FUZZ_CHECK(expected.size == first.size, "size differs from the model's");
    return 0;
}
