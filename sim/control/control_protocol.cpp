// Encoding of control words, and reading and writing lines with descriptors.
#include "control_protocol.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace boardsim {

namespace {

bool needs_escape(unsigned char c) { return c <= 0x20 || c == '%' || c >= 0x7f; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decode_word(const std::string& word) {
    std::string plain;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (word[i] == '%' && i + 2 < word.size() && hex_value(word[i + 1]) >= 0 && hex_value(word[i + 2]) >= 0) {
            plain += static_cast<char>(hex_value(word[i + 1]) * 16 + hex_value(word[i + 2]));
            i += 2;
        } else {
            plain += word[i];
        }
    }
    return plain;
}

}  // namespace

std::string encode_words(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        if (!line.empty()) line += ' ';
        if (word.empty()) line += "%00";  // keeps an empty word a word
        for (unsigned char c : word) {
            if (!needs_escape(c)) {
                line += static_cast<char>(c);
                continue;
            }
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            line += escaped;
        }
    }
    return line;
}

std::vector<std::string> decode_words(const std::string& line) {
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start < line.size()) {
        std::size_t space = line.find_first_of(" \t\r", start);
        std::size_t end = space == std::string::npos ? line.size() : space;
        if (end > start) {
            std::string word = line.substr(start, end - start);
            words.push_back(word == "%00" ? std::string() : decode_word(word));
        }
        start = end + 1;
    }
    return words;
}

line_reader::~line_reader() {
    for (int fd : descriptors_) close(fd);
}

bool line_reader::next(std::string& line) {
    for (;;) {
        std::size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return true;
        }
        char data[4096];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
        iovec part{data, sizeof data};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t count = recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
        if (count < 0 && errno == EINTR) continue;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
            std::size_t fds = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < fds; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
                descriptors_.push_back(fd);
            }
        }
        if (count <= 0) return false;
        buffer_.append(data, static_cast<std::size_t>(count));
    }
}

std::vector<int> line_reader::take_descriptors() {
    std::vector<int> taken;
    taken.swap(descriptors_);
    return taken;
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t count = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

bool send_with_descriptors(int fd, const std::string& text, const std::vector<int>& descriptors) {
    if (text.empty()) return false;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)] = {};
    iovec part{const_cast<char*>(text.data()), 1};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (!descriptors.empty() && descriptors.size() <= 8) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * descriptors.size());
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
        std::memcpy(CMSG_DATA(header), descriptors.data(), sizeof(int) * descriptors.size());
    }
    if (sendmsg(fd, &message, MSG_NOSIGNAL) != 1) return false;
    return write_all(fd, text.substr(1));
}

int connect_unix(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace boardsim
