// The program takes no options: whatever arguments it is given are ignored.
#include "os/os.hpp"
#include "run/run.hpp"

int main() {
    restrict_library_search();
    return run_installer();
}
