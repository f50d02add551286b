#include "main/front_end.h"

int main(int argc, char** argv, char** envp) { return run_front_end(argc, argv, envp); }
