// The control socket's wire format. A request is one line of words separated
// by spaces, each word percent-escaped where it holds a space, a percent sign
// or a control byte. A reply is any number of lines, the last one "ok" or
// "error: <reason>". The run request carries the caller's standard input,
// output and error as descriptors with its first byte.
#pragma once

#include <string>
#include <vector>

namespace boardsim {

std::string encode_words(const std::vector<std::string>& words);
std::vector<std::string> decode_words(const std::string& line);

// Buffered line reader for a socket that also collects passed descriptors.
class line_reader {
public:
    explicit line_reader(int fd) : fd_(fd) {}
    ~line_reader();
    line_reader(const line_reader&) = delete;
    line_reader& operator=(const line_reader&) = delete;

    // False at end of input or on an error.
    bool next(std::string& line);
    // Descriptors received so far; the caller takes ownership.
    std::vector<int> take_descriptors();

private:
    int fd_;
    std::string buffer_;
    std::vector<int> descriptors_;
};

bool write_all(int fd, const std::string& text);
// Sends `text` with `descriptors` attached.
bool send_with_descriptors(int fd, const std::string& text, const std::vector<int>& descriptors);

// A connected stream socket to `path`, or -1.
int connect_unix(const std::string& path);

}  // namespace boardsim
