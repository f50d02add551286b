// Names the machine a benchmark ran on, for the figures it prints.
#pragma once

#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

inline std::string machine_description() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "unknown processor";
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    char host[256] = "unknown host";
    gethostname(host, sizeof host - 1);
    return std::string(host) + ", " + model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores";
}
