// boardsim ctl and boardsim run: the clients of a running world.
#include "client.h"

#include "control_protocol.h"
#include "stop_signals.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace boardsim {

namespace {

volatile sig_atomic_t connection_fd = -1;

// Async-signal-safe: "kill N\n" to the world for the command inside it.
void pass_signal(int signal_number) {
    char text[24] = "kill ";
    int length = 5;
    if (signal_number >= 10) text[length++] = static_cast<char>('0' + signal_number / 10);
    text[length++] = static_cast<char>('0' + signal_number % 10);
    text[length++] = '\n';
    if (connection_fd != -1) (void)!write(connection_fd, text, static_cast<std::size_t>(length));
}

int connect_or_complain(const std::string& path) {
    int fd = connect_unix(path);
    if (fd == -1)
        std::fprintf(stderr, "boardsim: cannot reach the world at %s: %s\n", path.c_str(),
                     std::generic_category().message(errno).c_str());
    return fd;
}

}  // namespace

int control_client(const std::string& path, const std::vector<std::string>& verb) {
    int fd = connect_or_complain(path);
    if (fd == -1) return 1;
    int status = 1;
    if (write_all(fd, encode_words(verb) + "\n")) {
        line_reader reader(fd);
        std::string line;
        while (reader.next(line)) {
            if (line == "ok") {
                status = 0;
                break;
            }
            if (line.rfind("error: ", 0) == 0) {
                std::fprintf(stderr, "boardsim: %s\n", line.c_str() + 7);
                break;
            }
            std::printf("%s\n", line.c_str());
        }
    }
    close(fd);
    return status;
}

int run_client(const std::string& path, const std::vector<std::string>& command) {
    int fd = connect_or_complain(path);
    if (fd == -1) return 125;
    char cwd[PATH_MAX];
    std::vector<std::string> request{"run", getcwd(cwd, sizeof cwd) ? cwd : "/"};
    request.insert(request.end(), command.begin(), command.end());
    if (!send_with_descriptors(fd, encode_words(request) + "\n", {0, 1, 2})) {
        close(fd);
        return 125;
    }
    connection_fd = fd;
    on_stop_signals(pass_signal);
    int status = 125;
    line_reader reader(fd);
    std::string line;
    while (reader.next(line)) {
        if (line.rfind("exit=", 0) == 0) {
            status = static_cast<int>(std::strtol(line.c_str() + 5, nullptr, 10));
            break;
        }
        if (line.rfind("error: ", 0) == 0) {
            std::fprintf(stderr, "boardsim: %s\n", line.c_str() + 7);
            break;
        }
    }
    connection_fd = -1;
    close(fd);
    return status;
}

}  // namespace boardsim
