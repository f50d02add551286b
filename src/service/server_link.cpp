#include "service/server_link.h"

#include "base/log.h"
#include "base/socket_keepalive.h"
#include "board/gpio.h"
#include "commands/server_list.h"
#include "ipc/shared_state.h"
#include "pic/packet_slot.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr std::size_t header_size = 5;
// How long a closed connection is read for the server's own close.
constexpr auto close_drain_bound = std::chrono::seconds(1);
// A server whose SYNs go unanswered is given up after this long.
constexpr double connect_timeout_s = 5;

// Bytes sent after the server closed its end are lost without an error, so
// a packet goes only to a connection whose end has not been seen; it stays
// queued for the next one otherwise. The end shows behind words not read
// yet too: a FIN, a reset or an error.
bool server_end_seen(int sock) {
    pollfd watched{sock, POLLRDHUP, 0};
    return poll(&watched, 1, 0) > 0 && (watched.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// A socket closed with input unread, or receiving input after its close,
// resets the connection, and the reset throws away what the server had not
// read yet. So the sending side is shut first and the input read and
// discarded until the server closes too, or the bound passes.
void closing_start(ServiceState& state, int sock) {
    shutdown(sock, SHUT_WR);
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
    state.closing.push_back({sock, std::chrono::steady_clock::now() + close_drain_bound});
}

// True once the connection is done with: the server closed, or failed, or
// the bound passed.
bool closing_done(const closing_connection& closing) {
    std::uint8_t unread[512];
    for (int round = 0; round < 64; ++round) {
        ssize_t count = recv(closing.sock, unread, sizeof unread, MSG_DONTWAIT);
        if (count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return true;
        if (count < 0) break;
    }
    return std::chrono::steady_clock::now() >= closing.deadline;
}

// The attempt's outcome. A failure is tidied up by the disconnect phase;
// connected, the socket blocks again as the link's reads expect.
void connect_done(ServiceState& state, int error) {
    int sock = std::exchange(state.connecting_sock, 0);
    if (error != 0) {
        ++state.counters.connect_failures;
        log_failure() << "Error (" << error << ") connecting to " << state.connect_entry;
        close(sock);
        state.drop_connection = true;
        return;
    }
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) & ~O_NONBLOCK);
    state.sock = sock;
    state.activity = true;
    state.rr_armed = false;
}

// A stale or foreign record must not make the service read outside the list.
void round_robin_step(ServiceState& state, shared_state& block, std::time_t now) {
    if (state.rr_armed) {
        if (std::difftime(now, state.rr_since) >= block.rr_interval) {
            next_server(block);
            state.rr_since = now;
        }
    } else {
        state.rr_since = now;
    }
    state.rr_armed = true;
}

void route_apply(ServiceState& state, const route_request& route) {
    state.route_channel = route.channel;
    route_mode_set(route.mode_two);
    state.route_flag = route.flag;
    route_flag_set(state.route_flag);
    route_set(static_cast<std::uint8_t>(route.channel - 1), 1);
}

void reset_routing(ServiceState& state) {
    state.scan_mode = false;
    state.route_channel = 0;
    route_mode_set(false);
    route_set(0, 0);
    state.route_flag = false;
    route_flag_set(false);
    state.paused = false;
}

// With the slot's token held (taken by the dispatch).
void generate_packet(std::uint8_t channel, std::uint8_t address, std::uint8_t code, shared_state& block) {
    slot_publish(block, generated_packet(address, code), channel);
    log_trace() << "Generated packet: " << int{channel} << ' ' << int{address} << ' ' << int{code};
}

void device_apply(ServiceState& state, shared_state& block, const device_request& device) {
    log_trace() << "PICv" << block.pic_version;
    if (device.how == delivery::packet) {
        generate_packet(device.channel, device.address, device.code, block);
        ++state.counters.packet_commands;
    }
    if (device.how != delivery::legacy) return;
    state.legacy_channel = device.channel;
    state.legacy_address = device.address;
    state.legacy_code = device.code;
    log_trace() << "Legacy command: " << int{device.channel} << ' ' << int{device.address} << ' ' << int{device.code};
}

// compress2 refuses levels outside -1..9, which the l command stores as
// given: such a packet is compressed at the default level instead.
uLongf compress_capture(ServiceState& state, int level, std::span<const std::uint8_t> capture,
                        std::uint8_t* into, uLongf capacity) {
    uLongf length = capacity;
    if (compress2(into, &length, capture.data(), capture.size(), level) == Z_OK) {
        state.failed_zlevel.reset();
        return length;
    }
    if (state.failed_zlevel != level) {
        log_failure() << "Compression level " << level << " refused; using the default level";
        state.failed_zlevel = level;
    }
    length = capacity;
    compress2(into, &length, capture.data(), capture.size(), Z_DEFAULT_COMPRESSION);
    return length;
}

}  // namespace

bool server_entry_take(ServiceState& state, shared_state& block, std::string& entry) {
    std::time_t now = std::time(nullptr);
    state.last_connect_try = now;
    round_robin_step(state, block, now);
    entry = current_server(block);
    return true;
}

void server_connect_start(ServiceState& state, const std::string& entry) {
    ++state.counters.connect_attempts;
    in_addr address{};
    if (inet_aton(entry.c_str(), &address) == 0) {
        ++state.counters.connect_failures;
        log_failure() << "Invalid address: " << entry;
        state.rr_since = 0;
        state.drop_connection = true;
        return;
    }
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sock == -1) return;
    if (socket_keepalive_enable(sock) != 1) log_failure() << "socket_keepalive_enable problem";
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(server_port);
    peer.sin_addr = address;
    state.connecting_sock = sock;
    state.connect_entry = entry;
    state.connect_started = std::time(nullptr);
    if (connect(sock, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) {
        connect_done(state, 0);
    } else if (errno != EINPROGRESS) {
        connect_done(state, errno);
    }
}

void server_connect_progress(ServiceState& state) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(state.connecting_sock, &writable);
    timeval no_wait{0, 0};
    int ready = select(state.connecting_sock + 1, nullptr, &writable, nullptr, &no_wait);
    if (ready > 0) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(state.connecting_sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        connect_done(state, error);
    } else if (ready < 0 && errno != EINTR) {
        connect_done(state, errno);
    } else if (std::difftime(std::time(nullptr), state.connect_started) >= connect_timeout_s) {
        connect_done(state, ETIMEDOUT);
    }
}

void closing_drain(std::vector<closing_connection>& closing) {
    std::erase_if(closing, [](const closing_connection& each) {
        if (!closing_done(each)) return false;
        close(each.sock);
        return true;
    });
}

void closing_finish(std::vector<closing_connection>& closing) {
    while (!closing.empty()) {
        closing_drain(closing);
        std::vector<pollfd> watched;
        watched.reserve(closing.size());
        for (const closing_connection& each : closing) watched.push_back({each.sock, POLLIN, 0});
        if (!watched.empty()) poll(watched.data(), watched.size(), 50);
    }
}

void server_disconnect(ServiceState& state) {
    if (state.sock != 0) closing_start(state, state.sock);
    if (state.connecting_sock != 0) close(state.connecting_sock);
    state.sock = 0;
    state.connecting_sock = 0;
    state.drop_connection = false;
    state.server_list_empty = false;
    state.request_pending = false;
    state.cmd_len = 0;
    state.data_sent = 0;
    state.ack_sent = 0;
    route_set(0, 0);
}

socket_readiness server_poll(ServiceState& state) {
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_SET(state.sock, &readable);
    FD_SET(state.sock, &writable);
    timeval no_wait{0, 0};
    if (select(state.sock + 1, &readable, &writable, nullptr, &no_wait) < 0) {
        state.drop_connection = true;
        return {};
    }
    return {FD_ISSET(state.sock, &readable) != 0, FD_ISSET(state.sock, &writable) != 0};
}

void command_receive(ServiceState& state) {
    ssize_t count = read(state.sock, state.cmd_bytes.data() + state.cmd_len, 4 - state.cmd_len);
    if (count > 0) {
        state.cmd_len += static_cast<std::uint32_t>(count);
        state.activity = true;
    } else {
        state.drop_connection = true;
    }
}

void command_carry_out(ServiceState& state, shared_state& block, const decoded_word& word) {
    switch (word.kind) {
    case word_kind::pause: state.paused = true; break;
    case word_kind::resume: state.paused = false; break;
    case word_kind::reset: reset_routing(state); break;
    case word_kind::scan_on: state.scan_mode = true; break;
    case word_kind::device:
        if (word.route) route_apply(state, *word.route);
        if (word.device) device_apply(state, block, *word.device);
        break;
    }
}

std::vector<std::uint8_t> data_packet_build(ServiceState& state, const shared_state& block,
                                            std::span<const std::uint8_t> capture) {
    auto capacity = static_cast<uLongf>(static_cast<double>(capture.size()) * 1.01) + 13;
    std::vector<std::uint8_t> packet(header_size + capacity);
    uLongf length = compress_capture(state, block.zlevel, capture, packet.data() + header_size, capacity);
    packet[0] = 'T';
    packet[1] = 'C';
    packet[2] = state.mod_low[0] || state.mod_low[1] ? '1' : '0';
    packet[3] = static_cast<std::uint8_t>(length >> 8);
    packet[4] = static_cast<std::uint8_t>(length);
    packet.resize(header_size + length);
    return packet;
}

std::vector<std::uint8_t> ack_packet_build() {
    std::vector<std::uint8_t> packet(15, 0);
    packet[0] = 'T';
    packet[1] = 'E';
    packet[2] = '3';
    packet[4] = 10;
    return packet;
}

bool packet_send(ServiceState& state, const std::vector<std::uint8_t>& packet, std::uint32_t& sent) {
    if (state.drop_connection || server_end_seen(state.sock)) {
        state.drop_connection = true;
        return false;
    }
    std::size_t total = packet[3] * 256u + packet[4] + header_size;
    ssize_t count = send(state.sock, packet.data() + sent, total - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (count < 1) {
        state.drop_connection = true;
        return false;
    }
    sent += static_cast<std::uint32_t>(count);
    state.activity = true;
    return sent >= total;
}
