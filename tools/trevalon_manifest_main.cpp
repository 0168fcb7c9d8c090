// trevalon-manifest: see manifest_tool.hpp.
#include "manifest_tool.hpp"
#include "os/os.hpp"

int main(int argc, char** argv) {
    restrict_library_search();
    return manifest_tool_main(argc, argv);
}
