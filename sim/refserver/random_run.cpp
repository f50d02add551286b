#include "random_run.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <system_error>

namespace refserver {

std::string side_command::text() const {
    std::string text = program;
    for (const std::string& word : words) text += " " + word;
    return text;
}

namespace {

int status_of(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

// argv[0] is the program's own name; stdin and stdout go to the null device,
// standard error to `log_path` (appended) or the null device.
pid_t spawn(const std::string& path, std::vector<std::string> argv, const std::string& log_path) {
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (std::string& word : argv) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        int log = log_path.empty() ? null : open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        dup2(null, 0);
        dup2(null, 1);
        dup2(log, 2);
        execv(path.c_str(), pointers.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

service_child::~service_child() {
    if (running()) kill_now();
}

bool service_child::start(const std::string& tovk, const std::string& log_path) {
    if (running()) return true;
    pid_ = spawn(tovk, {"tovk", "i", "127.0.0.1"}, log_path);
    status_ = -1;
    return pid_ > 0;
}

bool service_child::running() {
    if (pid_ <= 0) return false;
    int wait_status = 0;
    if (waitpid(pid_, &wait_status, WNOHANG) != pid_) return true;
    status_ = status_of(wait_status);
    pid_ = -1;
    return false;
}

void service_child::kill_now() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int wait_status = 0;
    waitpid(pid_, &wait_status, 0);
    status_ = status_of(wait_status);
    pid_ = -1;
}

void service_child::signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
}

random_run::random_run() = default;

random_run::~random_run() {
    for (side_command& side : sides_) {
        if (side.pid > 0 && !side.ended) {
            kill(side.pid, SIGKILL);
            waitpid(side.pid, nullptr, 0);
        }
    }
    for (int fd : blackhole_fds_) close(fd);
    std::string error;
    if (!saved_wmem_.empty()) set_small_buffers(false, -1, error);
}

void random_run::schedule(const step& side) {
    side_command made;
    made.program = side.words[0];
    made.words.assign(side.words.begin() + 1, side.words.end());
    made.at = side.seconds;
    made.kill_after = side.kill_after;
    sides_.push_back(made);
}

std::size_t random_run::start_now(const std::vector<std::string>& words) {
    side_command made;
    made.program = "tovk";
    made.words = words;
    sides_.push_back(made);
    start(sides_.back());
    return sides_.size() - 1;
}

void random_run::start(side_command& side) {
    std::vector<std::string> argv{side.program};
    argv.insert(argv.end(), side.words.begin(), side.words.end());
    side.started = std::chrono::duration<double>(clock::now() - began_).count();
    side.pid = spawn(side.program == "driver" ? driver_ : tovk_, argv, "");
    if (side.pid < 0) side.ended = true;
}

void random_run::tick() {
    double now = std::chrono::duration<double>(clock::now() - began_).count();
    for (side_command& side : sides_) {
        if (side.pid == -1 && !side.ended && side.at <= now) start(side);
        if (side.pid <= 0 || side.ended) continue;
        if (side.kill_after > 0 && now - side.started >= side.kill_after) kill(side.pid, SIGKILL);
        int status = 0;
        if (waitpid(side.pid, &status, WNOHANG) == side.pid) {
            side.ended = true;
            side.status = status_of(status);
        }
    }
}

std::uint64_t random_run::kills() const {
    return service_kills_ + static_cast<std::uint64_t>(std::count_if(sides_.begin(), sides_.end(), [](const side_command& side) {
               return side.ended && side.status == 128 + SIGKILL;
           }));
}

bool random_run::sides_running() const {
    return std::any_of(sides_.begin(), sides_.end(), [](const side_command& side) { return !side.ended; });
}

std::string random_run::running_text() const {
    std::string text;
    for (const side_command& side : sides_) {
        if (!side.ended) text += (text.empty() ? "" : "; ") + side.text();
    }
    return text;
}

bool random_run::set_small_buffers(bool small, int listener, std::string& error) {
    const char* wmem = "/proc/sys/net/ipv4/tcp_wmem";
    if (saved_wmem_.empty()) {
        std::ifstream in(wmem);
        std::getline(in, saved_wmem_);
        if (saved_wmem_.empty()) return error = std::string("cannot read ") + wmem, false;
    }
    std::ofstream out(wmem);
    out << (small ? std::string("2048 2048 2048") : saved_wmem_) << std::endl;
    if (!out) return error = std::string("cannot write ") + wmem, false;
    if (listener < 0) return true;
    if (saved_rcvbuf_ < 0) {
        socklen_t length = sizeof saved_rcvbuf_;
        getsockopt(listener, SOL_SOCKET, SO_RCVBUF, &saved_rcvbuf_, &length);
        saved_rcvbuf_ /= 2;  // the kernel doubles what it is given
    }
    int size = small ? 1024 : saved_rcvbuf_;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return true;
}

bool random_run::open_blackhole(const std::string& address, std::uint16_t port, std::string& error) {
    sockaddr_in place{};
    place.sin_family = AF_INET;
    place.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &place.sin_addr) != 1) return error = "bad address " + address, false;
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    blackhole_fds_.insert(blackhole_fds_.end(), {listener, filler});
    auto* raw = reinterpret_cast<sockaddr*>(&place);
    // Backlog 0 holds one finished handshake; with it queued and never
    // accepted, every further SYN is dropped.
    if (bind(listener, raw, sizeof place) != 0 || ::listen(listener, 0) != 0 || connect(filler, raw, sizeof place) != 0) {
        return error = "black hole on " + address + ": " + std::generic_category().message(errno), false;
    }
    return true;
}

}  // namespace refserver
