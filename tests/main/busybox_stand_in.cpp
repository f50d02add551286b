#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    for (int index = 0; index < argc; ++index) std::printf("argv[%d]=%s\n", index, argv[index]);
    const char* mark = std::getenv("TOVK_HANDOVER_MARK");
    std::printf("mark=%s\n", mark != nullptr ? mark : "(none)");
    return 7;
}
