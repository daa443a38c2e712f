#pragma once
// The argument loop of the developer programs that work through files one by
// one: a file that fails is named on standard error and the others go on.

#include <cstdio>
#include <exception>

namespace kirune::tools {

// Calls work(path) for argv[first] .. argv[argc - 1]; 0 when every call
// returned, 1 when any threw.
template <class Work>
int eachFile(int argc, char** argv, int first, Work&& work) {
    int status = 0;
    for (int i = first; i < argc; ++i) {
        try {
            work(argv[i]);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", argv[i], e.what());
            status = 1;
        }
    }
    return status;
}

}  // namespace kirune::tools
