#pragma once
// How a fuzz target reports a wrong result: one line on standard error, then
// abort, so that libFuzzer stops and keeps the input that led there.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace Fuzz {

[[noreturn]] __attribute__((format(printf, 1, 2))) inline void fail(const char* format, ...)
{
    std::fprintf(stderr, "\n==korvane fuzz== wrong result: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    std::abort();
}

} // namespace Fuzz
