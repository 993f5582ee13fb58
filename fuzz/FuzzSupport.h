#pragma once
// Shared by the fuzz targets: a finding must stop the run, so undefined
// behaviour aborts instead of printing and going on, and a broken property
// aborts with a message.

#include <cstdio>
#include <cstdlib>

extern "C" const char* __ubsan_default_options()
{
    return "halt_on_error=1:print_stacktrace=1";
}

#define FUZZ_REQUIRE(cond, what)                                                   \
    do {                                                                           \
        if (!(cond)) {                                                             \
            std::fprintf(stderr, "property broken: %s (%s)\n", what, #cond);       \
            std::abort();                                                          \
        }                                                                          \
    } while (0)
