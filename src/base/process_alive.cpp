#include "base/process_alive.h"

#include <signal.h>

#include <cerrno>
#include <fstream>
#include <string>

bool process_alive(pid_t pid) {
    if (kill(pid, 0) != 0 && errno != EPERM) return false;
    // "pid (name) state ...": the name may hold spaces, the state follows its ")".
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    std::size_t name_end = line.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= line.size()) return true;
    char state = line[name_end + 2];
    return state != 'Z' && state != 'X';
}
