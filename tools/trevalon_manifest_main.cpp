// trevalon-manifest: see manifest_tool.hpp.
#include "manifest_tool.hpp"

int main(int argc, char** argv) {
    return manifest_tool_main(argc, argv);
}
