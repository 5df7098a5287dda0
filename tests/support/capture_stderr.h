// What a piece of code writes to standard error, for in-process tests.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

namespace test {

inline std::string stderr_of(const std::function<void()>& fn) {
    fflush(stderr);
    FILE* capture = tmpfile();
    int saved = dup(fileno(stderr));
    dup2(fileno(capture), fileno(stderr));
    fn();
    fflush(stderr);
    dup2(saved, fileno(stderr));
    close(saved);
    std::string out;
    rewind(capture);
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, capture)) > 0) out.append(chunk, n);
    fclose(capture);
    return out;
}

}  // namespace test
