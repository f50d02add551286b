#include "main/front_end.h"

#include <cstdlib>

int main(int argc, char** argv, char** envp) {
    std::exit(run_front_end(argc, argv, envp));
}
