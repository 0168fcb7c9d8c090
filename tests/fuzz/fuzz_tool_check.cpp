// The publisher's tool, `check MANIFEST`, over any file. The tool exists to
// protect the publisher, so it must never pass what the installer refuses: an
// exit status of 0 needs a body the installer accepts (not empty, under 4095
// bytes, and parsed), and prints exactly the release line the installer shows
// for it. A refusal is one line, "MANIFEST: reason". A body the installer
// accepts whose size line is plain digits must pass. The file lives in memory
// (memfd) and the tool opens it by its /proc path.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "fuzz_os.hpp"
#include "manifest/manifest.hpp"
#include "manifest_model.hpp"
#include "manifest_tool.hpp"

namespace {

constexpr size_t INSTALLER_BODY_LIMIT = MANIFEST_BODY_SIZE - 1;

// The plain decimal form of a number that 64 bits hold: what the tool must
// take as it stands. Longer digit strings read as 2^64 - 1, which the tool
// refuses because the installer would read another number than the line shows.
bool plain_digits(const std::string& line) {
    if (line.empty() || line[0] == '0') return false;
    for (char c : line)
        if (c < '0' || c > '9') return false;
    const std::string max = "18446744073709551615";
    return line.size() < max.size() || (line.size() == max.size() && line <= max);
}

std::string release_line(const model::Manifest& m) {
    char line[512];
    std::snprintf(line, sizeof line,
                  "   版本/Version v%s  文件/File %s  大小/Size %.1f MB  来源/Source: %s\n",
                  m.version.c_str(), m.file_name.c_str(), static_cast<double>(m.size) / 1048576.0,
                  NODE_LABELS[0]);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = memfd_create("manifest", 0);
    static std::string path = "/proc/self/fd/" + std::to_string(fd);
    FUZZ_CHECK(fd >= 0, "no memfd");
    FUZZ_CHECK(ftruncate(fd, 0) == 0, "memfd not emptied");
    FUZZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "memfd not written");

    fuzz_os::output().clear();
    const char* argv[] = {"trevalon-manifest", "check", path.c_str()};
    int code = manifest_tool_main(3, argv);
    const std::string& out = fuzz_os::output();

    model::Manifest m = model::parse(data, size);
    bool installer_accepts =
        size > 0 && size < INSTALLER_BODY_LIMIT && m.broken == model::Rule::none;

    FUZZ_CHECK(code == EXIT_TOOL_OK || code == EXIT_TOOL_FAILED, "exit status neither 0 nor 1");
    if (code == EXIT_TOOL_OK) {
        FUZZ_CHECK(installer_accepts, "the tool passes a manifest the installer refuses");
        FUZZ_CHECK(out == release_line(m), "the release line is not the installer's");
        return 0;
    }
    FUZZ_CHECK(!(installer_accepts && plain_digits(m.raw_size_line)),
               "the tool refuses a plain manifest the installer accepts");
    const std::string head = path + ": ";
    FUZZ_CHECK(out.compare(0, head.size(), head) == 0, "a refusal that does not name the file");
    FUZZ_CHECK(
        out.size() > head.size() + 1 && out.back() == '\n' && out.find('\n') == out.size() - 1,
        "a refusal that is not one line with a reason");
    if (!installer_accepts && size > 0 && size < INSTALLER_BODY_LIMIT) {
        const char* prefix = model::reason_prefix(m.broken);
        FUZZ_CHECK(out.compare(head.size(), std::strlen(prefix), prefix) == 0,
                   "the refusal names another rule than the installer's");
    }
    return 0;
}
