#include "serial_bridge/serial_tcp_server.h"

#include "base/error_report.h"
#include "base/socket_keepalive.h"
#include "base/stop_flag.h"
#include "board/gpio.h"
#include "board/serial_line.h"
#include "ipc/shared_state.h"
#include "serial_bridge/serial_settings.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iostream>

namespace {

constexpr int net_in = 0;
constexpr int net_out = 1;
constexpr std::size_t relay_buffer_size = 1024;

volatile std::uint8_t relay_running = 1;

// Linear: filled at len, drained from pos, both back to 0 once drained.
struct relay_buffer {
    std::uint8_t bytes[relay_buffer_size];
    std::size_t len = 0;
    std::size_t pos = 0;

    bool has_room() const { return len < relay_buffer_size; }
    bool has_pending() const { return len > pos; }
    void rewind_if_drained() {
        if (len == pos) len = pos = 0;
    }
};

struct relay_state {
    relay_buffer net;  // from the connection, to the line
    relay_buffer tty;  // from the line, to the connection
    bool net_in_closed = false;
    bool tty_in_failed = false;
    bool net_out_failed = false;
    bool tty_out_failed = false;
};

struct relay_interest {
    bool read_net, read_tty, write_net, write_tty;
    bool any() const { return read_net || read_tty || write_net || write_tty; }
};

relay_interest interest_of(const relay_state& relay) {
    return {relay.net.has_room() && !relay.net_in_closed && !relay.tty_out_failed && !relay.tty_in_failed,
            relay.tty.has_room() && !relay.tty_in_failed && !relay.net_out_failed && !relay.net_in_closed,
            relay.tty.has_pending() && !relay.net_out_failed, relay.net.has_pending() && !relay.tty_out_failed};
}

void fill_from(int fd, relay_buffer& buffer, bool& ended) {
    ssize_t count = read(fd, buffer.bytes + buffer.len, relay_buffer_size - buffer.len);
    if (count > 0) {
        buffer.len += static_cast<std::size_t>(count);
    } else {
        ended = true;
    }
}

void drain_to(int fd, relay_buffer& buffer, bool& failed) {
    ssize_t count = write(fd, buffer.bytes + buffer.pos, buffer.len - buffer.pos);
    if (count > 0) {
        buffer.pos += static_cast<std::size_t>(count);
    } else {
        failed = true;
    }
}

// The stop signals reach the relay only inside pselect, so one that comes
// just before the wait still ends it at once.
class stop_signals_deferred {
public:
    stop_signals_deferred() {
        sigset_t stops;
        sigemptyset(&stops);
        for (int signal_number : {SIGTERM, SIGHUP, SIGINT}) sigaddset(&stops, signal_number);
        pthread_sigmask(SIG_BLOCK, &stops, &outside_);
    }
    ~stop_signals_deferred() { pthread_sigmask(SIG_SETMASK, &outside_, nullptr); }
    stop_signals_deferred(const stop_signals_deferred&) = delete;
    stop_signals_deferred& operator=(const stop_signals_deferred&) = delete;
    const sigset_t& while_waiting() const { return outside_; }

private:
    sigset_t outside_{};
};

// False when the relay is over: nothing left to do, or the wait failed.
bool relay_pass(relay_state& relay, const sigset_t& wait_mask) {
    relay_interest wanted = interest_of(relay);
    if (!wanted.any()) return false;
    int tty = serial_fd.get();
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    if (wanted.read_net) FD_SET(net_in, &readable);
    if (wanted.read_tty) FD_SET(tty, &readable);
    if (wanted.write_net) FD_SET(net_out, &writable);
    if (wanted.write_tty) FD_SET(tty, &writable);
    if (pselect(std::max(tty, net_out) + 1, &readable, &writable, nullptr, nullptr, &wait_mask) < 0) {
        if (errno == EINTR) return true;
        report_error("select");
        return false;
    }
    if (FD_ISSET(net_in, &readable)) fill_from(net_in, relay.net, relay.net_in_closed);
    if (FD_ISSET(tty, &readable)) fill_from(tty, relay.tty, relay.tty_in_failed);
    if (FD_ISSET(net_out, &writable)) drain_to(net_out, relay.tty, relay.net_out_failed);
    if (FD_ISSET(tty, &writable)) drain_to(tty, relay.net, relay.tty_out_failed);
    relay.net.rewind_if_drained();
    relay.tty.rewind_if_drained();
    return true;
}

// A record nobody set would put the line on the PIC's channel with a
// hang-up instead of a rate; bytes the f command never writes would reach
// the line's flags as they stand.
bool settings_usable(const line_settings& settings) {
    if (baud_to_speed(settings.baud) == B0) {
        std::clog << "Serial-TCP settings are not set (see the f command); connection refused" << std::endl;
        return false;
    }
    if (line_settings_storable(settings)) return true;
    std::clog << "Serial-TCP settings in the record are invalid (see the f command); connection refused" << std::endl;
    return false;
}

// Channel select and format; the ports are needed only for the select.
bool line_configure(const line_settings& settings) {
    gpio_session ports;
    return ports.opened() && serial_setup(settings.channel, baud_to_speed(settings.baud), settings.data,
                                          settings.parity, settings.odd, settings.stop);
}

// True once the line was configured, whatever ends the relay.
bool serve_connection(const shared_state& block) {
    relay_running = 1;
    stop_registration registration(&relay_running);
    std::signal(SIGPIPE, SIG_IGN);
    held_lock line_lock = held_lock::try_acquire(sem_serial);
    if (!line_lock) return false;
    line_settings settings = serial_settings_read(block);
    if (!settings_usable(settings)) return false;
    serial_session line;
    if (!line.opened() || !line_configure(settings)) return false;
    usleep(100000);

    stop_signals_deferred deferred;
    relay_state relay;
    while (relay_running == 1 && relay_pass(relay, deferred.while_waiting())) {
    }
    return true;
}

}  // namespace

// Every end, a refusal included, shows the client end-of-file at once.
bool serial_tcp_server() {
    if (socket_keepalive_enable(net_in) != 1) {
        report_error("socket_keepalive_enable");
        return false;
    }
    bool served = false;
    {
        attached_state block;
        if (!block) return false;
        served = serve_connection(*block);
    }
    shutdown(net_out, SHUT_WR);
    return served;
}
