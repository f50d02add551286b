// Building the world, serving it, running its command, and tearing it down.
#include "world.h"

#include "control_protocol.h"
#include "namespaces.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace boardsim {

namespace {

const char* const board_dir = "/dev/.board";
const char* const consumed_counter_path = "/dev/.uart-consumed";
const char* const device_names[] = {"porta", "portb", "portc", "portf", "porth",
                                    "adc0",  "adc1",  "adc2",  "adc3",  "adc4"};

volatile sig_atomic_t command_pid = 0;

void forward_signal(int signal_number) {
    if (command_pid > 0) kill(command_pid, signal_number);
}

void install_forwarding() {
    struct sigaction action {};
    action.sa_handler = forward_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaction(signal_number, &action, nullptr);
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

int listen_unix(const std::string& path, std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = "control socket path too long: " + path;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(path.c_str());
    if (fd == -1 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        if (fd != -1) close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int exit_status_of(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return 1;
}

world::world(world_options options)
    : options_(std::move(options)),
      pic_(pic_settings_,
           [this](const std::string& line) {
               if (line.rfind("stream_start", 0) == 0 && host_consumed_ != nullptr) {
                   consumed_at_stream_start_ = host_consumed_->load();
               }
               log_.add("pic", line);
           }),
      uart_(log_),
      board_(log_,
             board_hooks{
                 [this](port_id port, std::uint32_t old_level, std::uint32_t new_level) {
                     if (port == port_id::h && ((old_level ^ new_level) & 0x0C)) {
                         uart_.select((new_level >> 2) & 3, event_log::now());
                     }
                 },
                 [this](port_id port, std::uint32_t level) {
                     if (port != port_id::b) return;
                     bool counted = pic_.status().streaming && uart_.selected() == 0;
                     port_b_unread_ = counted ? host_unread() : uart_.unread();
                     pic_.port_b_changed(static_cast<std::uint8_t>(level), port_b_unread_, event_log::now());
                 },
                 [this](port_id port) { return port == port_id::b ? pic_stamp() : std::string(); },
             }),
      fs_(board_, lock_) {}

world::~world() { tear_down(); }

std::string world::pic_stamp() const {
    pic_status status = pic_.status();
    std::uint64_t consumed = status.sent > port_b_unread_ ? status.sent - port_b_unread_ : 0;
    return "stream=" + std::to_string(status.stream_number) + " consumed=" + std::to_string(consumed);
}

// What the host has not read of the stream: exact from the shim's count,
// or, without it, the line's queue once the terminal has settled.
std::size_t world::host_unread() const {
    if (host_consumed_ == nullptr) return uart_.settled_unread();
    std::uint64_t sent = pic_.status().sent;
    std::uint64_t consumed = host_consumed_->load() - consumed_at_stream_start_;
    return sent > consumed ? static_cast<std::size_t>(sent - consumed) : 0;
}

bool world::share_consumed_counter(std::string& error) {
    int fd = open(consumed_counter_path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1 || fchmod(fd, 0666) != 0 || ftruncate(fd, sizeof(std::uint64_t)) != 0) {
        if (fd != -1) close(fd);
        error = std::string("cannot make ") + consumed_counter_path;
        return false;
    }
    void* mapped = mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) {
        error = std::string("cannot map ") + consumed_counter_path;
        return false;
    }
    host_consumed_ = static_cast<std::atomic<std::uint64_t>*>(mapped);
    return true;
}

bool world::build(std::string& error) {
    if (!build_dev(board_dir, error) || !share_consumed_counter(error)) return false;
    if (!mount_proc()) std::fprintf(stderr, "boardsim: warning: the world keeps the host's /proc\n");
    if (!loopback_up()) std::fprintf(stderr, "boardsim: warning: cannot bring the loopback up\n");
    if (!options_.log_dir.empty() && !log_.write_to(options_.log_dir)) {
        error = "cannot write logs to " + options_.log_dir;
        return false;
    }
    if (options_.control_path.empty()) {
        char pattern[] = "/tmp/boardsim.XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            error = std::string("cannot make a private directory: ") + std::strerror(errno);
            return false;
        }
        private_dir_ = pattern;
        options_.control_path = private_dir_ + "/control";
    }
    control_listener_ = listen_unix(options_.control_path, error);
    return control_listener_ != -1 && start_devices(error);
}

bool world::start_devices(std::string& error) {
    if (!uart_.open(error)) return false;
    if (!bind_file(uart_.slave_path(), "/dev/ttyAM1")) {
        error = std::string("cannot bind /dev/ttyAM1: ") + std::strerror(errno);
        return false;
    }
    board_.set_fixture(options_.fixture);
    uart_.attach(0, options_.fixture ? make_answer_device(answer_kind::bit7) : make_pic_device(pic_, [this] { return host_unread(); }));
    for (unsigned channel = 1; channel < 3 && options_.fixture; ++channel) {
        uart_.attach(channel, make_answer_device(answer_kind::bit7));
    }
    if (!fs_.start(board_dir, error)) return false;
    if (!apply_start_verbs(error)) return false;
    for (const char* name : device_names) {
        if (board_.device(name) != device_state::missing && !bind_device(name)) {
            error = "cannot bind /dev/" + std::string(name) + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool world::bind_device(const std::string& name) {
    return bind_file(std::string(board_dir) + "/" + name, "/dev/" + name);
}

void world::unbind_device(const std::string& name) {
    std::string path = "/dev/" + name;
    umount2(path.c_str(), MNT_DETACH);
    unlink(path.c_str());
}

bool world::apply_start_verbs(std::string& error) {
    std::vector<std::vector<std::string>> requests;
    for (const std::string& verb : options_.verbs) requests.push_back(decode_words(verb));
    if (!options_.script.empty()) {
        std::ifstream script(options_.script);
        if (!script) {
            error = "cannot read the script " + options_.script;
            return false;
        }
        for (std::string line; std::getline(script, line);) {
            std::vector<std::string> words = decode_words(line.substr(0, line.find('#')));
            if (!words.empty()) requests.push_back(words);
        }
    }
    for (const std::vector<std::string>& words : requests) {
        std::vector<std::string> reply;
        bool ok = execute(words, reply);
        for (const std::string& line : reply) std::fprintf(stderr, "boardsim: %s\n", line.c_str());
        if (!ok) {
            error = "start verb failed: " + encode_words(words);
            return false;
        }
    }
    return true;
}

void world::prepare_environment() {
    std::string preload = options_.shim_path;
    std::string asan = "verify_asan_link_order=0";
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string variable = *entry;
        if (variable.rfind("LD_PRELOAD=", 0) == 0) {
            if (!variable.substr(11).empty()) preload += (preload.empty() ? "" : ":") + variable.substr(11);
        } else if (variable.rfind("ASAN_OPTIONS=", 0) == 0) {
            asan = variable.substr(13) + ":" + asan;
        } else if (variable.rfind("BOARDSIM_CONTROL=", 0) != 0 && variable.rfind("BOARDSIM_UART_CONSUMED=", 0) != 0) {
            environment_.push_back(variable);
        }
    }
    if (!preload.empty()) environment_.push_back("LD_PRELOAD=" + preload);
    environment_.push_back("ASAN_OPTIONS=" + asan);
    environment_.push_back("BOARDSIM_CONTROL=" + options_.control_path);
    environment_.push_back(std::string("BOARDSIM_UART_CONSUMED=") + consumed_counter_path);
}

// Registered before the child can end, so the reaper always finds its box.
pid_t world::spawn(const std::vector<std::string>& argv, const std::vector<int>& stdio, const std::string& cwd,
                   const std::shared_ptr<child_box>& box) {
    std::vector<std::string> arguments = argv;
    std::vector<std::string> environment = environment_;
    std::vector<char*> arg_pointers = pointers_to(arguments);
    std::vector<char*> env_pointers = pointers_to(environment);
    std::lock_guard guard(children_lock_);
    pid_t pid = fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) signal(signal_number, SIG_DFL);
        for (std::size_t i = 0; i < stdio.size() && i < 3; ++i) dup2(stdio[i], static_cast<int>(i));
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        close_range(3, ~0u, 0);
        execvpe(arg_pointers[0], arg_pointers.data(), env_pointers.data());
        _exit(127);
    }
    if (pid > 0) children_[pid] = box;
    return pid;
}

int world::reap_until_command_ends(pid_t command) {
    for (;;) {
        int wait_status = 0;
        pid_t pid = waitpid(-1, &wait_status, 0);
        if (pid == -1 && errno == EINTR) continue;
        if (pid == -1) return 1;
        std::shared_ptr<child_box> box;
        {
            std::lock_guard guard(children_lock_);
            auto found = children_.find(pid);
            if (found == children_.end()) continue;  // an orphan that came to us
            box = found->second;
            children_.erase(found);
            box->done = true;
            box->status = exit_status_of(wait_status);
            if (box->connection != -1) shutdown(box->connection, SHUT_RD);
        }
        child_ended_.notify_all();
        if (pid == command) return box->status;
    }
}

void world::reap_all() {
    kill(-1, SIGKILL);
    int wait_status = 0;
    for (;;) {
        pid_t pid = waitpid(-1, &wait_status, 0);
        if (pid == -1 && errno == EINTR) continue;
        if (pid == -1) break;
        std::lock_guard guard(children_lock_);
        auto found = children_.find(pid);
        if (found == children_.end()) continue;
        found->second->done = true;
        found->second->status = exit_status_of(wait_status);
        if (found->second->connection != -1) shutdown(found->second->connection, SHUT_RD);
        children_.erase(found);
    }
    child_ended_.notify_all();
}

int world::run() {
    std::string error;
    if (!build(error)) {
        std::fprintf(stderr, "boardsim: %s\n", error.c_str());
        return 125;
    }
    prepare_environment();
    if (pipe2(wake_pipe_, O_CLOEXEC) != 0) return 125;
    uart_thread_ = std::thread([this] { uart_.run(lock_, stopping_); });
    control_thread_ = std::thread([this] { serve_control(); });
    log_.add("world", "start control=" + options_.control_path);
    for (const std::string& helper : options_.also) {
        spawn({"/bin/sh", "-c", helper}, {}, "", std::make_shared<child_box>());
    }
    auto box = std::make_shared<child_box>();
    install_forwarding();
    pid_t command = spawn(options_.command, {}, "", box);
    if (command <= 0) {
        std::fprintf(stderr, "boardsim: cannot start the command\n");
        return 125;
    }
    command_pid = command;
    int status = reap_until_command_ends(command);
    command_pid = 0;
    log_.add("world", "end status=" + std::to_string(status));
    reap_all();
    tear_down();
    return status;
}

void world::tear_down() {
    stopping_ = true;
    if (wake_pipe_[1] != -1) (void)!write(wake_pipe_[1], "x", 1);
    if (control_thread_.joinable()) control_thread_.join();
    {
        std::lock_guard guard(connections_lock_);
        for (auto& [id, open] : connections_) shutdown(open.fd, SHUT_RDWR);
    }
    for (;;) {
        std::thread finished;
        {
            std::lock_guard guard(connections_lock_);
            if (connections_.empty()) break;
            finished = std::move(connections_.begin()->second.thread);
            connections_.erase(connections_.begin());
        }
        if (finished.joinable()) finished.join();
    }
    if (uart_thread_.joinable()) uart_thread_.join();
    // The filesystem's connection ends only once nothing is bound from it.
    for (const char* name : device_names) unbind_device(name);
    fs_.stop();
    if (control_listener_ != -1) {
        close(control_listener_);
        control_listener_ = -1;
        unlink(options_.control_path.c_str());
    }
    if (!private_dir_.empty()) {
        rmdir(private_dir_.c_str());
        private_dir_.clear();
    }
    for (int& fd : wake_pipe_) {
        if (fd != -1) close(fd);
        fd = -1;
    }
}

void world::serve_control() {
    while (!stopping_) {
        pollfd fds[2] = {{control_listener_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        join_finished_connections();
        int fd = accept4(control_listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd == -1) continue;
        std::lock_guard guard(connections_lock_);
        std::uint64_t id = next_connection_++;
        connections_[id].fd = fd;
        connections_[id].thread = std::thread([this, id, fd] { serve_connection(id, fd); });
    }
}

void world::join_finished_connections() {
    std::vector<std::thread> done;
    {
        std::lock_guard guard(connections_lock_);
        for (std::uint64_t id : finished_connections_) {
            auto found = connections_.find(id);
            if (found == connections_.end()) continue;
            done.push_back(std::move(found->second.thread));
            connections_.erase(found);
        }
        finished_connections_.clear();
    }
    for (std::thread& thread : done) thread.join();
}

void world::serve_connection(std::uint64_t id, int fd) {
    {
        line_reader reader(fd);
        std::string line;
        while (reader.next(line)) {
            std::vector<std::string> words = decode_words(line);
            if (!words.empty() && words[0] == "run") {
                serve_run(fd, reader, words);
                break;
            }
            std::vector<std::string> reply;
            bool ok = execute(words, reply);
            std::string text;
            for (const std::string& reply_line : reply) text += reply_line + "\n";
            text += ok ? "ok\n" : "";
            if (!write_all(fd, text)) break;
        }
    }
    std::lock_guard guard(connections_lock_);
    close(fd);
    connections_[id].fd = -1;
    finished_connections_.push_back(id);
}

// run CWD ARG...: the command inside the world with the caller's stdio; the
// caller may send "kill N" lines and gets "exit=N" when it ends.
void world::serve_run(int fd, line_reader& reader, const std::vector<std::string>& words) {
    std::vector<int> stdio = reader.take_descriptors();
    auto box = std::make_shared<child_box>();
    box->connection = fd;
    pid_t pid = -1;
    if (words.size() >= 3 && stdio.size() == 3 && !stopping_) {
        pid = spawn(std::vector<std::string>(words.begin() + 2, words.end()), stdio, words[1], box);
    }
    for (int descriptor : stdio) close(descriptor);
    if (pid <= 0) {
        write_all(fd, "error: cannot start the command\n");
        return;
    }
    write_all(fd, "pid=" + std::to_string(pid) + "\n");
    std::string line;
    while (reader.next(line)) {
        std::vector<std::string> request = decode_words(line);
        if (request.size() == 2 && request[0] == "kill") kill(pid, std::atoi(request[1].c_str()));
    }
    std::unique_lock guard(children_lock_);
    if (!box->done) kill(pid, SIGHUP);  // the caller went away: hang up on its command
    child_ended_.wait(guard, [&] { return box->done; });
    write_all(fd, "exit=" + std::to_string(box->status) + "\n");
}

}  // namespace boardsim
