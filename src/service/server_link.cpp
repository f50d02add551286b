#include "service/server_link.h"

#include "board/gpio.h"
#include "commands/server_list.h"
#include "ipc/shared_state.h"
#include "pic/packet_slot.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace {

constexpr std::uint32_t pause_word = 0x000000FF;
constexpr std::uint32_t resume_word = 0xFFFFFFFF;
constexpr std::uint32_t reset_word = 0x00000000;
constexpr std::size_t header_size = 5;

std::uint32_t command_word(const ServiceState& state) {
    return static_cast<std::uint32_t>(state.cmd_bytes[0]) | static_cast<std::uint32_t>(state.cmd_bytes[1]) << 8 |
           static_cast<std::uint32_t>(state.cmd_bytes[2]) << 16 | static_cast<std::uint32_t>(state.cmd_bytes[3]) << 24;
}

bool set_option(int fd, int level, int option, int value, const char* failure) {
    if (setsockopt(fd, level, option, &value, sizeof value) == 0) return true;
    std::clog << failure << std::endl;
    return false;
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

bool is_generated_packet_code(const ServiceState& state, const shared_state& block) {
    std::uint8_t mode = state.cmd_bytes[0];
    std::uint8_t code = state.cmd_bytes[3];
    return code >= 65 || (block.pic_version >= 3 && mode != 0 && code >= 16 && code <= 32 && code != 24);
}

void route_by_mode(ServiceState& state) {
    std::uint8_t mode = state.cmd_bytes[0] & ~0x04;
    if (mode != 1 && mode != 2) return;
    state.route_channel = state.cmd_bytes[1];
    route_mode_set(mode == 2);
    state.route_flag = (state.cmd_bytes[0] & 0x04) != 0;
    route_flag_set(state.route_flag);
    route_set(static_cast<std::uint8_t>(state.cmd_bytes[1] - 1), 1);
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

void generate_packet(std::uint8_t channel, std::uint8_t address, std::uint8_t code, shared_state& block) {
    if (!sem_trytake(sem_packet)) return;
    slot_publish(block, generated_packet(address, code), channel);
    std::clog << "Generated packet: " << int{channel} << ' ' << int{address} << ' ' << int{code} << std::endl;
}

void device_command(ServiceState& state, shared_state& block) {
    std::uint8_t channel = state.cmd_bytes[1];
    std::uint8_t address = state.cmd_bytes[2];
    std::uint8_t code = state.cmd_bytes[3];
    if (channel < 1 || channel > block.in_channels || address < 1 || address > 32) return;
    std::clog << "PICv" << block.pic_version << std::endl;
    if (is_generated_packet_code(state, block)) {
        generate_packet(channel, address, code, block);
        code = 0;
    }
    if (code >= 1 && code <= 64) {
        state.legacy_channel = channel;
        state.legacy_address = address;
        state.legacy_code = code;
        std::clog << "Legacy command: " << int{channel} << ' ' << int{address} << ' ' << int{code} << std::endl;
    }
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
        std::clog << "Compression level " << level << " refused; using the default level" << std::endl;
        state.failed_zlevel = level;
    }
    length = capacity;
    compress2(into, &length, capture.data(), capture.size(), Z_DEFAULT_COMPRESSION);
    return length;
}

}  // namespace

int socket_keepalive_enable(int fd) {
    return set_option(fd, IPPROTO_TCP, TCP_KEEPCNT, 6, "setsockopt: cannot set TCP_KEEPCNT") &&
                   set_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, 10, "setsockopt: cannot set TCP_KEEPIDLE") &&
                   set_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, 10, "setsockopt: cannot set TCP_KEEPINTVL") &&
                   set_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1, "setsockopt: cannot set SO_KEEPALIVE")
               ? 1
               : 0;
}

void server_connect_attempt(ServiceState& state, shared_state& block) {
    std::time_t now = std::time(nullptr);
    state.last_connect_try = now;
    round_robin_step(state, block, now);
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock == -1) return;
    state.sock = sock;
    store_shared(block.reconnect, 1);
    if (socket_keepalive_enable(sock) != 1) std::clog << "socket_keepalive_enable problem" << std::endl;

    const char* entry = current_server(block);
    hostent* host = gethostbyname(entry);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list[0] == nullptr) {
        std::clog << "Invalid address: " << entry << std::endl;
        state.rr_since = 0;
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server_port);
    std::memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
    if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::clog << "Error (" << errno << ") connecting to " << entry << std::endl;
        return;
    }
    state.activity = true;
    store_shared(block.reconnect, 0);
    state.rr_armed = false;
}

void server_disconnect(ServiceState& state) {
    if (state.sock != 0) close(state.sock);
    state.sock = 0;
    state.request_pending = false;
    state.cmd_len = 0;
    state.data_sent = 0;
    state.ack_sent = 0;
    route_set(0, 0);
}

socket_readiness server_poll(ServiceState& state, shared_state& block) {
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_SET(state.sock, &readable);
    FD_SET(state.sock, &writable);
    timeval no_wait{0, 0};
    if (select(state.sock + 1, &readable, &writable, nullptr, &no_wait) < 0) {
        store_shared(block.reconnect, 1);
        return {};
    }
    return {FD_ISSET(state.sock, &readable) != 0, FD_ISSET(state.sock, &writable) != 0};
}

void command_receive(ServiceState& state, shared_state& block) {
    ssize_t count = read(state.sock, state.cmd_bytes + state.cmd_len, 4 - state.cmd_len);
    if (count > 0) {
        state.cmd_len += static_cast<std::uint32_t>(count);
        state.activity = true;
    } else {
        store_shared(block.reconnect, 1);
    }
}

void command_decode(ServiceState& state, shared_state& block) {
    std::uint32_t word = command_word(state);
    if (word == pause_word) {
        state.paused = true;
    } else if (word == resume_word) {
        state.paused = false;
    } else if (word == reset_word) {
        reset_routing(state);
    } else if (state.cmd_bytes[2] == 0 && state.cmd_bytes[3] == 1) {
        state.scan_mode = true;
    } else {
        route_by_mode(state);
        device_command(state, block);
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

bool packet_send(ServiceState& state, shared_state& block, const std::vector<std::uint8_t>& packet,
                 std::uint32_t& sent) {
    std::size_t total = packet[3] * 256u + packet[4] + header_size;
    ssize_t count = send(state.sock, packet.data() + sent, total - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (count < 1) {
        store_shared(block.reconnect, 1);
        return false;
    }
    sent += static_cast<std::uint32_t>(count);
    state.activity = true;
    return sent >= total;
}
