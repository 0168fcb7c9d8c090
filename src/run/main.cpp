// The program takes no options: whatever arguments it is given are ignored.
#include "run/run.hpp"

int main() {
    return run_installer();
}
