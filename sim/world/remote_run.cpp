// A run request, from the caller's descriptors to the command's exit status.
#include "remote_run.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

namespace boardsim {

namespace {

pid_t start(supervisor& processes, bool refuse, const std::vector<std::string>& words, const std::vector<int>& stdio,
            const std::shared_ptr<child_record>& record) {
    if (refuse || words.size() < 3 || stdio.size() != 3) return -1;
    return processes.spawn(std::vector<std::string>(words.begin() + 2, words.end()), stdio, words[1], record);
}

void pass_kills(pid_t pid, line_reader& reader) {
    std::string line;
    while (reader.next(line)) {
        std::vector<std::string> request = decode_words(line);
        if (request.size() == 2 && request[0] == "kill") kill(pid, static_cast<int>(std::strtol(request[1].c_str(), nullptr, 10)));
    }
}

}  // namespace

void serve_run(supervisor& processes, bool refuse, int fd, line_reader& reader,
               const std::vector<std::string>& words) {
    std::vector<int> stdio = reader.take_descriptors();
    auto record = std::make_shared<child_record>();
    record->connection = fd;
    pid_t pid = start(processes, refuse, words, stdio, record);
    for (int descriptor : stdio) close(descriptor);
    if (pid <= 0) {
        write_all(fd, "error: cannot start the command\n");
        return;
    }
    write_all(fd, "pid=" + std::to_string(pid) + "\n");
    pass_kills(pid, reader);
    // The caller went away: hang up on its command.
    int status = processes.hang_up_and_wait(pid, record);
    write_all(fd, "exit=" + std::to_string(status) + "\n");
}

}  // namespace boardsim
