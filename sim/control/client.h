// The two clients of a running world's control socket.
#pragma once

#include <string>
#include <vector>

namespace boardsim {

// Sends one verb, prints the reply; 0 on "ok", 1 on an error.
int control_client(const std::string& path, const std::vector<std::string>& verb);

// Runs a command inside the world with this process's stdio; its exit status.
int run_client(const std::string& path, const std::vector<std::string>& command);

}  // namespace boardsim
