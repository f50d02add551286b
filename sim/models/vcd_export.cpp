// Writing the lines log as a Value Change Dump.
#include "vcd_export.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

namespace boardsim {

namespace {

struct traced_group {
    line_group group;
    std::string logged_name;  // as the lines log names it
    std::size_t first_wire;   // its bits' wires, lowest bit first
    std::uint32_t value;
};

using fields = std::map<std::string, std::string>;

struct timed_change {
    std::int64_t time;
    fields words;
};

struct wire {
    std::string name;
    std::string id;
};

// VCD identifiers: printable characters, shortest first.
std::string vcd_id(std::size_t number) {
    std::string id;
    do {
        id += static_cast<char>('!' + number % 94);
        number /= 94;
    } while (number != 0);
    return id;
}

fields fields_of(const std::string& text) {
    fields found;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        std::size_t equals = word.find('=');
        if (equals != std::string::npos) found[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return found;
}

std::string logged_name(const line_group& group) {
    if (group.name != nullptr) return group.name;
    return std::string(1, port_letter(group.port)) + "." + std::to_string(std::countr_zero(group.mask));
}

// Unnamed bits become "c3"; a named group of several bits one wire per bit.
std::string wire_name(const line_group& group, unsigned bit) {
    if (group.name == nullptr) {
        return std::string(1, port_letter(group.port)) + std::to_string(std::countr_zero(group.mask));
    }
    if (std::popcount(group.mask) == 1) return group.name;
    return group.name + std::to_string(bit);
}

std::uint32_t group_value(std::uint32_t level, std::uint32_t mask) { return (level & mask) >> std::countr_zero(mask); }

class vcd_writer {
public:
    explicit vcd_writer(const std::array<std::uint32_t, 5>& levels_at_end) {
        for (port_id port : all_ports) {
            for (const line_group& group : line_groups_of(port)) {
                groups_.push_back({group, logged_name(group), wires_.size(),
                                   group_value(levels_at_end[static_cast<std::size_t>(port)], group.mask)});
                for (unsigned bit = 0; bit < static_cast<unsigned>(std::popcount(group.mask)); ++bit) {
                    wires_.push_back({wire_name(group, bit), vcd_id(wires_.size())});
                }
            }
        }
        stream_id_ = vcd_id(wires_.size());
        consumed_id_ = vcd_id(wires_.size() + 1);
    }

    // A line that changes starts at its first change's old value.
    void take_start_values(const std::vector<timed_change>& changes) {
        std::vector<bool> seen(groups_.size(), false);
        for (const timed_change& change : changes) {
            traced_group* group = find(change.words);
            if (group == nullptr || seen[index_of(*group)]) continue;
            seen[index_of(*group)] = true;
            group->value = number(change.words, "old");
        }
    }

    void header() {
        out_ << "$version boardsim lines log $end\n$timescale 1 us $end\n";
        char current_port = 0;
        for (const traced_group& traced : groups_) {
            char letter = port_letter(traced.group.port);
            if (letter != current_port) {
                if (current_port != 0) out_ << "$upscope $end\n";
                out_ << "$scope module port" << letter << " $end\n";
                current_port = letter;
            }
            for (std::size_t bit = 0; bit < bits_of(traced); ++bit) {
                const wire& each = wires_[traced.first_wire + bit];
                out_ << "$var wire 1 " << each.id << ' ' << each.name << " $end\n";
            }
        }
        out_ << "$upscope $end\n$scope module pic_stream $end\n";
        out_ << "$var real 64 " << stream_id_ << " stream $end\n";
        out_ << "$var real 64 " << consumed_id_ << " consumed $end\n";
        out_ << "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
        for (const traced_group& traced : groups_) write_bits(traced, ~0u);
        out_ << "r0 " << stream_id_ << "\nr0 " << consumed_id_ << "\n$end\n";
    }

    void change(const timed_change& change) {
        traced_group* group = find(change.words);
        if (group == nullptr) return;
        std::uint32_t next = number(change.words, "new");
        advance_to(change.time);
        write_bits(*group, group->value ^ next, next);
        group->value = next;
        stamp(change.words, "stream", stream_id_, stream_);
        stamp(change.words, "consumed", consumed_id_, consumed_);
    }

    void advance_to(std::int64_t time) {
        time = std::max(time, now_);
        if (time != now_) out_ << '#' << time << '\n';
        now_ = time;
    }

    std::string text() const { return out_.str(); }

private:
    static std::size_t bits_of(const traced_group& traced) {
        return static_cast<std::size_t>(std::popcount(traced.group.mask));
    }

    static std::uint32_t number(const fields& words, const char* key) {
        return static_cast<std::uint32_t>(std::strtoul(words.at(key).c_str(), nullptr, 10));
    }

    std::size_t index_of(const traced_group& group) const { return static_cast<std::size_t>(&group - groups_.data()); }

    traced_group* find(const fields& words) {
        auto name = words.find("name");
        if (name == words.end() || !words.contains("old") || !words.contains("new")) return nullptr;
        for (traced_group& traced : groups_) {
            if (traced.logged_name == name->second) return &traced;
        }
        return nullptr;
    }

    void write_bits(const traced_group& traced, std::uint32_t which) { write_bits(traced, which, traced.value); }

    void write_bits(const traced_group& traced, std::uint32_t which, std::uint32_t value) {
        for (std::size_t bit = 0; bit < bits_of(traced); ++bit) {
            if ((which >> bit) & 1u) out_ << ((value >> bit) & 1u) << wires_[traced.first_wire + bit].id << '\n';
        }
    }

    void stamp(const fields& words, const char* key, const std::string& id, std::string& last) {
        auto found = words.find(key);
        if (found == words.end() || found->second == last) return;
        last = found->second;
        out_ << 'r' << last << ' ' << id << '\n';
    }

    std::vector<traced_group> groups_;
    std::vector<wire> wires_;
    std::string stream_id_, consumed_id_;
    std::string stream_ = "0", consumed_ = "0";
    std::int64_t now_ = 0;
    std::ostringstream out_;
};

}  // namespace

std::int64_t log_microseconds(double time) {
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.6f", time);
    std::string whole(digits);
    whole.erase(std::remove(whole.begin(), whole.end(), '.'), whole.end());
    return std::strtoll(whole.c_str(), nullptr, 10);
}

std::string vcd_of_lines(const std::vector<log_entry>& entries, const std::array<std::uint32_t, 5>& levels_at_end,
                         double end_time) {
    std::vector<timed_change> changes;
    for (const log_entry& entry : entries) {
        if (entry.kind == "lines" && entry.text.rfind("line ", 0) == 0) {
            changes.push_back({log_microseconds(entry.time), fields_of(entry.text)});
        }
    }
    vcd_writer writer(levels_at_end);
    writer.take_start_values(changes);
    writer.header();
    for (const timed_change& change : changes) writer.change(change);
    writer.advance_to(log_microseconds(end_time));
    return writer.text();
}

}  // namespace boardsim
