// The UART's pseudo-terminal, its channel switch and the devices behind the channels.
#include "uart.h"

#include "event_log.h"
#include "hex_text.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace boardsim {

namespace {

// A long transfer's first 64 bytes are enough to tell it.
std::string hex_of(const std::uint8_t* data, std::size_t count) { return hex_bytes({data, count}, 64); }

class pic_device final : public channel_device {
public:
    pic_device(pic_model& pic, std::function<std::size_t()> unread) : pic_(pic), unread_(std::move(unread)) {}
    std::string describe() const override { return "pic"; }
    void from_host(const std::uint8_t* data, std::size_t count, double now) override {
        pic_.receive(data, count, unread_(), now);
    }
    void to_host(double now, std::vector<std::uint8_t>& out) override { pic_.transmit(now, out); }
    void undelivered(std::size_t count, double now) override { pic_.lost(count, now); }
    bool log_output() const override { return false; }

private:
    pic_model& pic_;
    std::function<std::size_t()> unread_;
};

class answer_device final : public channel_device {
public:
    explicit answer_device(answer_kind kind) : kind_(kind) {}
    std::string describe() const override {
        switch (kind_) {
        case answer_kind::bit7: return "fixture bit7";
        case answer_kind::bit6: return "fixture bit6";
        case answer_kind::none: return "fixture none";
        default: return "echo";
        }
    }
    void from_host(const std::uint8_t* data, std::size_t count, double) override {
        if (kind_ == answer_kind::none) return;
        std::uint8_t flip = kind_ == answer_kind::bit7 ? 0x80 : kind_ == answer_kind::bit6 ? 0x40 : 0x00;
        for (std::size_t i = 0; i < count; ++i) pending_.push_back(static_cast<std::uint8_t>(data[i] ^ flip));
    }
    void to_host(double, std::vector<std::uint8_t>& out) override {
        out.insert(out.end(), pending_.begin(), pending_.end());
        pending_.clear();
    }

private:
    answer_kind kind_;
    std::vector<std::uint8_t> pending_;
};

class silent_device final : public channel_device {
public:
    std::string describe() const override { return "none"; }
    void from_host(const std::uint8_t*, std::size_t, double) override {}
    void to_host(double, std::vector<std::uint8_t>&) override {}
};

// One connection at a time: the test's side of a user device on the channel.
class socket_device final : public channel_device {
public:
    socket_device(int listener, std::string path) : listener_(listener), path_(std::move(path)) {}
    ~socket_device() override {
        if (client_ != -1) close(client_);
        close(listener_);
        unlink(path_.c_str());
    }
    std::string describe() const override { return "unix " + path_; }
    int wake_fd() const override { return client_ != -1 ? client_ : listener_; }
    void from_host(const std::uint8_t* data, std::size_t count, double) override {
        if (client_ != -1) (void)!send(client_, data, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    void to_host(double, std::vector<std::uint8_t>& out) override {
        out.insert(out.end(), pending_.begin(), pending_.end());
        pending_.clear();
    }
    void service() override {
        if (client_ == -1) client_ = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client_ == -1) return;
        std::uint8_t buffer[4096];
        for (;;) {
            ssize_t count = recv(client_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (count > 0) {
                pending_.insert(pending_.end(), buffer, buffer + count);
                continue;
            }
            if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
                close(client_);
                client_ = -1;
            }
            return;
        }
    }

private:
    int listener_;
    int client_ = -1;
    std::string path_;
    std::vector<std::uint8_t> pending_;
};

}  // namespace

void channel_device::undelivered(std::size_t, double) {}

std::unique_ptr<channel_device> make_pic_device(pic_model& pic, std::function<std::size_t()> unread) {
    return std::make_unique<pic_device>(pic, std::move(unread));
}
std::unique_ptr<channel_device> make_answer_device(answer_kind kind) { return std::make_unique<answer_device>(kind); }
std::unique_ptr<channel_device> make_silent_device() { return std::make_unique<silent_device>(); }

std::unique_ptr<channel_device> make_socket_device(const std::string& path, std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "bad socket path";
        return nullptr;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    unlink(path.c_str());
    if (listener == -1 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 4) != 0) {
        error = "cannot listen on " + path + ": " + std::generic_category().message(errno);
        if (listener != -1) close(listener);
        return nullptr;
    }
    return std::make_unique<socket_device>(listener, path);
}

uart_switch::uart_switch(event_log& log) : log_(log) {
    for (auto& device : devices_) device = make_silent_device();
}

uart_switch::~uart_switch() {
    if (slave_ != -1) close(slave_);
    if (master_ != -1) close(master_);
}

bool uart_switch::open(std::string& error) {
    master_ = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[64];
    if (master_ == -1 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::generic_category().message(errno);
        return false;
    }
    slave_path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios line{};
    if (slave_ == -1 || tcgetattr(slave_, &line) != 0) {
        error = std::string("cannot open the pseudo-terminal's slave: ") + std::generic_category().message(errno);
        return false;
    }
    cfmakeraw(&line);
    cfsetspeed(&line, B115200);
    tcsetattr(slave_, TCSANOW, &line);
    return true;
}

std::size_t uart_switch::unread() const {
    int count = 0;
    if (slave_ == -1 || ioctl(slave_, FIONREAD, &count) != 0 || count < 0) return 0;
    return static_cast<std::size_t>(count);
}

// A write to the master reaches the slave's queue a moment later, from a
// kernel worker. While a host waits in a device write nothing else moves the
// queue, so once it holds still it tells what the host has not yet read.
std::size_t uart_switch::settled_unread() const {
    constexpr int quiet_reads = 5;
    constexpr int most_reads = 100;
    std::size_t last = unread();
    for (int quiet = 0, reads = 0; quiet < quiet_reads && reads < most_reads; ++reads) {
        usleep(100);
        std::size_t now = unread();
        quiet = now == last ? quiet + 1 : 0;
        last = now;
    }
    return last;
}

void uart_switch::attach(unsigned channel, std::unique_ptr<channel_device> device) {
    devices_.at(channel) = std::move(device);
    log_.add("uart", "attach ch=" + std::to_string(channel) + " device=" + devices_[channel]->describe());
}

std::string uart_switch::describe(unsigned channel) const { return devices_.at(channel)->describe(); }

void uart_switch::select(unsigned channel, double now) {
    if (channel == selected_) return;
    drain_host(now);
    selected_ = channel & 3;
}

void uart_switch::drain_host(double now) {
    if (master_ == -1) return;
    std::uint8_t buffer[4096];
    for (;;) {
        ssize_t count = read(master_, buffer, sizeof buffer);
        if (count <= 0) return;
        auto size = static_cast<std::size_t>(count);
        log_.add("uart", "host ch=" + std::to_string(selected_) + " count=" + std::to_string(size) +
                             " hex=" + hex_of(buffer, size), now);
        devices_[selected_]->from_host(buffer, size, now);
    }
}

std::size_t uart_switch::write_to_host(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = write(master_, bytes.data() + done, bytes.size() - done);
        if (count <= 0) break;
        done += static_cast<std::size_t>(count);
    }
    if (written_ != nullptr) written_->fetch_add(done);
    return done;
}

void uart_switch::deliver(unsigned channel, double now) {
    channel_device& device = *devices_[channel];
    std::vector<std::uint8_t> out;
    device.to_host(now, out);
    if (out.empty()) return;
    std::size_t delivered = channel == selected_ ? write_to_host(out) : 0;
    if (delivered < out.size()) device.undelivered(out.size() - delivered, now);
    if (!device.log_output()) return;
    std::string prefix = "device ch=" + std::to_string(channel);
    if (delivered > 0) {
        log_.add("uart", prefix + " count=" + std::to_string(delivered) + " hex=" + hex_of(out.data(), delivered), now);
    }
    if (delivered < out.size()) {
        log_.add("uart", "dropped ch=" + std::to_string(channel) + " count=" + std::to_string(out.size() - delivered), now);
    }
}

void uart_switch::pump(double now) {
    drain_host(now);
    for (auto& device : devices_) device->service();
    for (unsigned channel = 0; channel < devices_.size(); ++channel) deliver(channel, now);
}

void uart_switch::run(std::mutex& world_lock, const std::atomic<bool>& stop) {
    std::vector<pollfd> fds;
    while (!stop.load()) {
        fds.clear();
        {
            std::lock_guard lock(world_lock);
            fds.push_back({master_, POLLIN, 0});
            for (auto& device : devices_) {
                if (device->wake_fd() != -1) fds.push_back({device->wake_fd(), POLLIN, 0});
            }
        }
        poll(fds.data(), fds.size(), 1);
        std::lock_guard lock(world_lock);
        pump(event_log::now());
    }
}

}  // namespace boardsim
