// Synthetic captures and a small fake service for the reference server's
// tests. The re-pack here is written out for the default settings only (two
// stream bits to four capture bits), independently of the server's own.
#pragma once

#include "pic_model.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace refserver_fakes {

using bytes = std::vector<std::uint8_t>;
using steady = std::chrono::steady_clock;

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The capture the host makes when its read of the stream starts at `read_begin`.
inline bytes capture_from(std::uint64_t seed, std::uint64_t stream, std::uint64_t read_begin) {
    bytes capture;
    // The window: one second of two channels, 28.076171875 ms (115 bytes) into the read.
    for (std::size_t j = 0; j < 4096; ++j) {
        std::uint8_t in = boardsim::stream_byte(seed, stream, read_begin + 115 + j, 2);
        capture.push_back(static_cast<std::uint8_t>((in & 3) | ((in >> 2) & 3) << 4));
        capture.push_back(static_cast<std::uint8_t>(((in >> 4) & 3) | ((in >> 6) & 3) << 4));
    }
    return capture;
}

inline bytes data_packet(const bytes& capture, char status = '0') {
    uLongf length = compressBound(capture.size());
    bytes packet{'T', 'C', static_cast<std::uint8_t>(status), 0, 0};
    packet.resize(5 + length);
    compress(packet.data() + 5, &length, capture.data(), capture.size());
    packet.resize(5 + length);
    packet[3] = static_cast<std::uint8_t>(length >> 8);
    packet[4] = static_cast<std::uint8_t>(length & 0xFF);
    return packet;
}

inline bytes ack_packet() { return {0x54, 0x45, 0x33, 0x00, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

// The service's side of one connection, with bounded waits.
class fake_service {
public:
    ~fake_service() { close_socket(); }

    bool connect_to(std::uint16_t port) {
        sockaddr_in address{
            .sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
        for (auto until = steady::now() + std::chrono::seconds(5); steady::now() < until;) {
            close_socket();
            fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
            if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Connected, and the server's first word answered with the first `count` bytes of `packet`.
    bool answer(std::uint16_t port, const bytes& packet, std::size_t count = SIZE_MAX) {
        return connect_to(port) && read_word() && send_all(packet, count);
    }

    // The next command word, or nothing within the patience.
    std::optional<bytes> read_word(std::chrono::milliseconds patience = std::chrono::seconds(5)) {
        bytes word;
        for (auto until = steady::now() + patience; word.size() < 4 && readable(until);) {
            std::uint8_t buffer[4];
            ssize_t count = ::recv(fd_, buffer, 4 - word.size(), 0);
            if (count <= 0) return std::nullopt;
            word.insert(word.end(), buffer, buffer + count);
        }
        return word.size() == 4 ? std::optional<bytes>(word) : std::nullopt;
    }

    // The first `count` bytes of `data`, all of them by default.
    bool send_all(const bytes& data, std::size_t count = SIZE_MAX) {
        for (std::size_t from = 0, end = std::min(count, data.size()); from < end;) {
            ssize_t sent = ::send(fd_, data.data() + from, end - from, MSG_NOSIGNAL);
            if (sent <= 0) return false;
            from += static_cast<std::size_t>(sent);
        }
        return true;
    }

    // True once the server has closed its end.
    bool wait_closed(std::chrono::milliseconds patience = std::chrono::seconds(5)) {
        std::uint8_t scratch[64];
        for (auto until = steady::now() + patience; readable(until);) {
            if (::recv(fd_, scratch, sizeof scratch, 0) <= 0) return true;
        }
        return false;
    }

private:
    bool readable(steady::time_point until) {
        for (pollfd watched{fd_, POLLIN, 0}; steady::now() < until;) {
            if (::poll(&watched, 1, 50) > 0) return true;
        }
        return false;
    }

    void close_socket() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    int fd_ = -1;
};

}  // namespace refserver_fakes
