// What every stand-alone core check shares: CHECK(cond) reports a failed condition with its place
// on stderr and lets the run go on (a run with more than 20 failures stops there), and finish()
// ends main: "OK" on stdout and status 0 when every check held, else the failure count and 1.
// CHECK is for the main thread; checks made on other threads count into an atomic of their own.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace core_check {

inline int failures = 0;

inline void failed(const char* file, int line, const char* cond) {
    std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", file, line, cond);
    if (++failures > 20) std::exit(1);
}

inline int finish() {
    if (failures != 0) {
        std::fprintf(stderr, "%d failures\n", failures);
        return 1;
    }
    std::puts("OK");
    return 0;
}

}  // namespace core_check

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) ::core_check::failed(__FILE__, __LINE__, #cond); \
    } while (0)
