// build_candidates over every release a manifest can carry. Whatever the
// version and file name, each entry must keep the host of its slot's endpoint,
// end with the file name, stay whole (not cut at its buffer), and hold nothing
// that a server or a proxy could read as anything but a path: no "?", "#", "%",
// "/../", white space or control byte. The proxies switched off are chosen from
// the input too, so that the slots move as they do in a run without them.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "manifest/manifest.hpp"
#include "mirrors/mirrors.hpp"
#include "net/transport.hpp"
#include "net/utf16.hpp"

namespace {

// The host of a URL as split_url finds it.
std::string host_of(const std::string& url) {
    size_t scheme = url.find("://");
    size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t slash = url.find('/', start);
    return url.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
}

// The format with each "%s" replaced by the next argument.
std::string format_model(const std::string& format, const std::vector<std::string>& args) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format.compare(i, 2, "%s") == 0 && next < args.size()) {
            out += args[next++];
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> body(data, data + size);
    body.push_back('\0');
    ReleaseRecord release = {};
    if (!parse_manifest(body.data(), release)) return 0;

    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += data[i];
    const unsigned off = sum & 7u;  // bit k switches proxy k off
    const char* prefixes[GITHUB_PROXY_COUNT];
    for (int k = 0; k < GITHUB_PROXY_COUNT; ++k)
        prefixes[k] = (off >> k) & 1u ? "" : GITHUB_PROXY_PREFIXES[k];

    NodeTable table = {};
    build_candidates(release, table, prefixes);

    const std::string name = release.file_name;
    const std::string github = format_model(GITHUB_RELEASE_URL_FORMAT, {release.version, name});
    std::vector<std::string> expected = {std::string(MODELSCOPE_BASE_URL) + "/" + name, github};
    for (const char* prefix : prefixes)
        if (prefix[0] != '\0') expected.push_back(prefix + github);
    expected.push_back(std::string(HUGGINGFACE_BASE_URL) + "/" + name);

    std::vector<std::string> hosts = {host_of(MODELSCOPE_BASE_URL), host_of(github)};
    for (const char* prefix : GITHUB_PROXY_PREFIXES)
        hosts.push_back(host_of(prefix));
    hosts.push_back(host_of(HUGGINGFACE_BASE_URL));

    FUZZ_CHECK(table.count == static_cast<int32_t>(expected.size()), "wrong number of entries");
    for (int32_t slot = 0; slot < table.count; ++slot) {
        const MirrorNode& node = table.nodes[slot];
        FUZZ_CHECK(std::memchr(node.url, '\0', sizeof node.url) != nullptr, "url not terminated");
        const std::string url = node.url;
        FUZZ_CHECK(node.label == NODE_LABELS[slot], "label not the slot's");
        FUZZ_CHECK(node.reachable == 0 && node.latency_ms == LATENCY_NOT_MEASURED,
                   "entry not fresh");
        FUZZ_CHECK(url.size() < sizeof node.url - 1, "url cut at its buffer");
        FUZZ_CHECK(url == expected[slot], "url differs from the model's");
        FUZZ_CHECK(url.compare(0, 8, "https://") == 0, "url not https");
        FUZZ_CHECK(host_of(url) == host_of(expected[slot]), "url left its slot's host");
        bool known = false;
        for (const std::string& host : hosts)
            known = known || host == host_of(url);
        FUZZ_CHECK(known, "url host not one of the six");
        FUZZ_CHECK(url.size() > name.size() && url.compare(url.size() - name.size() - 1,
                                                           std::string::npos, "/" + name) == 0,
                   "url does not end with the file name");
        FUZZ_CHECK(url.find_first_of("?#%") == std::string::npos, "url holds ?, # or %");
        FUZZ_CHECK(url.find("/../") == std::string::npos, "url holds /../");
        for (unsigned char c : url)
            FUZZ_CHECK(c > 0x20 && c < 0x7F, "url holds white space, a control or non-ASCII byte");

        // The transport connects to the same host the model sees.
        std::vector<char16_t> host16(URL_PART_UNITS), path16(URL_PART_UNITS);
        split_url(node.url, host16.data(), path16.data());
        std::vector<char> host8(URL_PART_UNITS * 3);
        FUZZ_CHECK(utf16_to_utf8(host16.data(), host8.data(), static_cast<int>(host8.size())),
                   "host does not convert back");
        FUZZ_CHECK(host_of(url) == host8.data(), "split_url finds another host");
    }
    return 0;
}
