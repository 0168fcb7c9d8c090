// The one way a fuzz target reports a broken property: a line on standard
// error and abort(), which libFuzzer records as a crash with its input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                             \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: property broken: %s (%s)\n", __FILE__, __LINE__, what, \
                         #condition);                                                           \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)
