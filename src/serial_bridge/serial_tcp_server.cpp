#include "serial_bridge/serial_tcp_server.h"

#include "board/gpio.h"
#include "board/serial_line.h"
#include "ipc/shared_state.h"
#include "main/front_end.h"
#include "serial_bridge/serial_settings.h"
#include "service/server_link.h"

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

// False when the relay is over: nothing left to do, or select failed.
bool relay_pass(relay_state& relay) {
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
    if (select(std::max(tty, net_out) + 1, &readable, &writable, nullptr, nullptr) < 0) {
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
// hang-up instead of a rate.
bool settings_usable(const line_settings& settings) {
    if (baud_to_speed(settings.baud) != B0) return true;
    std::clog << "Serial-TCP settings are not set (see the f command); connection refused" << std::endl;
    return false;
}

bool line_configure(const line_settings& settings) {
    if (!serial_open()) return false;
    gpio_session ports;
    return ports.opened() && serial_setup(settings.channel, baud_to_speed(settings.baud), settings.data,
                                          settings.parity, settings.odd, settings.stop);
}

// Every start-up failure from here on shows the client end-of-file at once.
bool refuse_connection(shared_state* block) {
    stop_flag = nullptr;
    detach_shared_state(block);
    shutdown(net_out, SHUT_WR);
    return false;
}

}  // namespace

bool serial_tcp_server() {
    if (socket_keepalive_enable(net_in) != 1) {
        report_error("socket_keepalive_enable");
        return false;
    }
    shared_state* block = attach_shared_state();
    if (block == nullptr) return false;
    relay_running = 1;
    stop_flag = &relay_running;
    std::signal(SIGPIPE, SIG_IGN);

    line_settings settings{};
    if (!serial_settings_read(*block, settings) || !settings_usable(settings)) return refuse_connection(block);
    if (!sem_trylock(sem_serial)) return refuse_connection(block);
    if (!line_configure(settings)) {
        sem_unlock(sem_serial);
        return refuse_connection(block);
    }
    usleep(100000);

    relay_state relay;
    while (relay_running == 1 && relay_pass(relay)) {
    }
    stop_flag = nullptr;
    serial_close();
    sem_unlock(sem_serial);
    detach_shared_state(block);
    shutdown(net_out, SHUT_WR);
    return true;
}
