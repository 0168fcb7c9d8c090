// `check MANIFEST`: reads a manifest file as the installer would receive it
// and prints the release line the installer would show for it, or the line and
// rule it breaks. It is the publisher's last look before a manifest goes out;
// `mirrors` and `sources` judge a MANIFEST given to them the same way.
#include "manifest/manifest.hpp"
#include "os/os.hpp"
#include "tool_core.hpp"

namespace tool {

namespace {

// A published manifest is asked for at the ModelScope source first, so that
// is the source the installer's release line names when every source serves
// the same manifest.
constexpr const char* FIRST_SOURCE_LABEL = NODE_LABELS[0];

}  // namespace

int command_check(const Arguments& args) {
    if (args.count == 0) return usage_error("check", "missing MANIFEST");
    if (args.count > 1) return usage_error("check", "one MANIFEST only, got %d", args.count);
    ReleaseRecord release = {};
    int result = load_manifest("check", args.operands[0], release);
    if (result != EXIT_TOOL_OK) return result;
    print_release_line(release, FIRST_SOURCE_LABEL);
    return EXIT_TOOL_OK;
}

}  // namespace tool
