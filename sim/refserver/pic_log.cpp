#include "pic_log.h"

#include <fstream>
#include <sstream>
#include <vector>

namespace refserver {

namespace {

using fields = std::map<std::string, std::string>;

// Kind word and key=value fields; the first of two equal keys wins, so the
// world's own time stamp does not hide the model's.
bool split(const std::string& line, std::string& kind, fields& found) {
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        std::size_t equals = word.find('=');
        if (equals == std::string::npos) {
            if (kind.empty()) kind = word;
            continue;
        }
        if (!kind.empty()) found.try_emplace(word.substr(0, equals), word.substr(equals + 1));
    }
    return !kind.empty();
}

template <typename number>
std::optional<number> field_number(const fields& found, const std::string& key) {
    auto it = found.find(key);
    if (it == found.end()) return std::nullopt;
    std::istringstream in(it->second);
    number value{};
    if (!(in >> value) || !in.eof()) return std::nullopt;
    return value;
}

}  // namespace

void pic_log::refresh() {
    if (path_.empty()) return;
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    offset_ += chunk.size();
    unfinished_ += chunk;
    std::size_t begin = 0;
    for (std::size_t end; (end = unfinished_.find('\n', begin)) != std::string::npos; begin = end + 1) {
        add_line(unfinished_.substr(begin, end - begin));
    }
    unfinished_.erase(0, begin);
}

void pic_log::add_line(const std::string& line) {
    std::string kind;
    fields found;
    if (!split(line, kind, found)) return;
    auto number = field_number<std::uint64_t>(found, "stream");
    if (kind == "config") {
        if (auto seed = field_number<std::uint64_t>(found, "seed")) seed_ = seed;
        if (auto channels = field_number<unsigned>(found, "channels")) channels_ = channels;
    } else if (kind == "stream_start" && number) {
        logged_stream& opened = streams_[*number];
        opened.number = *number;
        opened.sampling = found["kind"] == "sampling";
        opened.channels = field_number<unsigned>(found, "channels").value_or(0);
    } else if (kind == "pulse" && number) {
        auto start = field_number<std::int64_t>(found, "start");
        if (!start) return;
        streams_[*number].pulses.push_back(
            {field_number<unsigned>(found, "mask").value_or(0), *start, field_number<std::int64_t>(found, "width")});
    } else if (kind == "lines" && number && found["attention"] == "1") {
        logged_stream& stream = streams_[*number];
        if (!stream.closed_at) stream.closed_at = field_number<std::int64_t>(found, "consumed");
    } else if (kind == "lost" && number) {
        streams_[*number].lost += field_number<std::uint64_t>(found, "count").value_or(0);
    } else if (kind == "stream_end" && number) {
        streams_[*number].ended = true;
    }
}

const logged_stream* pic_log::stream(std::uint64_t number) const {
    auto it = streams_.find(number);
    return it == streams_.end() ? nullptr : &it->second;
}

bool pic_log::is_capture(const logged_stream& stream) { return stream.sampling && stream.pulses.size() == 1; }

}  // namespace refserver
