// Says, for each path given, whether the tool takes every user to be able to read it (and, for
// a directory, to list it): "everyone", "not_everyone" or "unknown", one line each; for holding
// against what the kernel lets an ordinary user do.
#include <cstdio>

#include "readers.hpp"

int main(int argc, char** argv)
{
    for (int arg = 1; arg < argc; ++arg) {
        const Readers readers = readable_by_everyone(argv[arg]);
        (void)std::printf("%s\n", readers == Readers::everyone       ? "everyone"
                                  : readers == Readers::not_everyone ? "not_everyone"
                                                                     : "unknown");
    }
    return 0;
}
