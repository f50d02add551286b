// The board model: registers, line levels, ADC conversions and the lines log.
#include "board_model.h"

#include "event_log.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <vector>

namespace boardsim {

namespace {

// Lines with a role on the board; every other bit is logged as "X.n".
constexpr line_group named_lines[] = {
    {port_id::a, 0x80, "auxpwrdis"},      {port_id::h, 0x20, "auxpwr"},
    {port_id::h, 0x0C, "serial_channel"}, {port_id::b, 0x03, "channel_select"},
    {port_id::b, 0x04, "route_flag"},     {port_id::b, 0x08, "pulse_line"},
    {port_id::b, 0x10, "route_select"},   {port_id::b, 0x20, "route_enable"},
    {port_id::b, 0x40, "pic_attention"},  {port_id::b, 0x80, "batt_measure"},
    {port_id::f, 0x02, "route_mode"},     {port_id::f, 0x04, "undervoltage"},
};

}  // namespace

std::vector<line_group> line_groups_of(port_id port) {
    std::vector<line_group> groups;
    std::uint32_t covered = 0;
    for (const line_group& group : named_lines) {
        if (group.port != port) continue;
        groups.push_back(group);
        covered |= group.mask;
    }
    for (unsigned bit = 0; bit < 8; ++bit) {
        if (!(covered & (1u << bit))) groups.push_back({port, 1u << bit, nullptr});
    }
    return groups;
}

namespace {

std::uint32_t group_value(std::uint32_t level, std::uint32_t mask) {
    return (level & mask) >> std::countr_zero(mask);
}

std::size_t index_of(port_id port) { return static_cast<std::size_t>(port); }

const char* const device_names[] = {"porta", "portb", "portc", "portf", "porth",
                                    "adc0",  "adc1",  "adc2",  "adc3",  "adc4"};

}  // namespace

const std::array<double, 13> fixture_levels{0.0,     0.179124, 0.432432, 0.7062,  0.977592, 1.25875, 1.51767,
                                            1.79441, 2.05913,  2.33086,  2.62172, 2.88229,  3.14229};

const std::array<stimulus_line, 18> stimulus_lines{{
    {port_id::b, 7, 0, 1},  {port_id::f, 1, 0, 2}, {port_id::f, 2, 0, 3}, {port_id::f, 3, 0, 4},
    {port_id::b, 4, 0, 5},  {port_id::b, 5, 0, 6}, {port_id::b, 6, 0, 7}, {port_id::b, 0, 0, 8},
    {port_id::b, 1, 0, 9},  {port_id::b, 2, 1, 10}, {port_id::b, 3, 2, 11}, {port_id::c, 0, 3, 1},
    {port_id::h, 4, 3, 7},  {port_id::h, 5, 3, 2}, {port_id::a, 3, 3, 3}, {port_id::a, 4, 3, 4},
    {port_id::a, 5, 3, 5},  {port_id::a, 7, 3, 6},
}};

char port_letter(port_id port) { return "ABCFH"[index_of(port)]; }

std::optional<port_id> port_from_letter(char letter) {
    for (port_id port : all_ports) {
        if (port_letter(port) == letter || port_letter(port) + ('a' - 'A') == letter) return port;
    }
    return std::nullopt;
}

double raw_to_volts(std::int32_t raw) { return (raw / 50000.0 + 0.5) * 3.3; }

std::int32_t volts_to_raw(double volts) {
    double raw = std::round((volts / 3.3 - 0.5) * 50000.0);
    if (raw > 2147483647.0) return 2147483647;
    if (raw < -2147483647.0) return -2147483647;
    return static_cast<std::int32_t>(raw);
}

board_model::board_model(event_log& log, board_hooks hooks) : log_(log), hooks_(std::move(hooks)) {
    for (const char* name : device_names) devices_[name] = device_state::present;
    ports_[index_of(port_id::h)].inputs = 0x20;  // aux power present
}

const port_registers& board_model::registers(port_id port) const { return ports_[index_of(port)]; }

std::uint32_t board_model::read_register(port_id port, unsigned offset) const {
    const port_registers& regs = registers(port);
    return offset == 0 ? regs.level() : regs.direction;
}

void board_model::write_register(port_id port, unsigned offset, std::uint32_t value) {
    change(port, [&](port_registers& regs) { (offset == 0 ? regs.data : regs.direction) = value; });
}

void board_model::set_aux_power(bool present) {
    change(port_id::h, [&](port_registers& regs) {
        regs.inputs = static_cast<std::uint8_t>(present ? (regs.inputs | 0x20) : (regs.inputs & ~0x20));
    });
}

void board_model::change(port_id port, const std::function<void(port_registers&)>& mutate) {
    port_registers& regs = ports_[index_of(port)];
    port_registers next = regs;
    mutate(next);
    std::uint32_t old_level = regs.level();
    std::uint32_t new_level = next.level();
    if (old_level != new_level && hooks_.before_change) hooks_.before_change(port, old_level, new_level);
    if (regs.direction != next.direction) {
        char text[96];
        std::snprintf(text, sizeof text, "direction port=%c old=0x%02x new=0x%02x", port_letter(port),
                      regs.direction, next.direction);
        log_.add("lines", text);
    }
    regs = next;
    if (hooks_.after_write) hooks_.after_write(port, new_level);
    if (old_level != new_level) log_changes(port, old_level, new_level);
}

void board_model::log_changes(port_id port, std::uint32_t old_level, std::uint32_t new_level) {
    std::string stamp = hooks_.stamp ? hooks_.stamp(port) : std::string();
    for (const line_group& group : line_groups_of(port)) {
        std::uint32_t before = group_value(old_level, group.mask);
        std::uint32_t after = group_value(new_level, group.mask);
        if (before == after) continue;
        char name[16];
        if (group.name == nullptr) std::snprintf(name, sizeof name, "%c.%d", port_letter(port), std::countr_zero(group.mask));
        char text[160];
        std::snprintf(text, sizeof text, "line name=%s port=%c old=%u new=%u", group.name ? group.name : name,
                      port_letter(port), before, after);
        log_.add("lines", stamp.empty() ? std::string(text) : text + (" " + stamp));
    }
}

std::int32_t board_model::adc_raw(unsigned channel) const {
    if (raw_override_.at(channel)) return *raw_override_[channel];
    if (std::optional<std::int32_t> fixture_value = fixture_raw(channel)) return *fixture_value;
    return board_raw(channel);
}

std::int32_t board_model::board_raw(unsigned channel) const {
    switch (channel) {
    case 0: return volts_to_raw(module2_volts_ / module_scale);
    case 1: return volts_to_raw(module1_volts_ / module_scale);
    case 2:
        if (!registers(port_id::b).driven_high(7)) return volts_to_raw(0.0);
        return volts_to_raw((battery_volts_ - battery_offset) / battery_scale);
    case 3: return volts_to_raw(0.0);
    default: return volts_to_raw(diode_volts_);
    }
}

// The fixture wires the measurement inputs 0-3: idle 0 V, else the level of
// the highest-indexed stimulus line that is driven high.
std::optional<std::int32_t> board_model::fixture_raw(unsigned channel) const {
    if (!fixture_ || channel > 3) return std::nullopt;
    double volts = 0.0;
    unsigned best_index = 0;
    for (const stimulus_line& line : stimulus_lines) {
        if (line.adc_channel != channel || !registers(line.port).driven_high(line.bit)) continue;
        if (line.level_index < best_index) continue;
        best_index = line.level_index;
        std::string key = std::string(1, port_letter(line.port)) + "." + std::to_string(line.bit);
        auto variant = variants_.find(key);
        fixture_variant kind = variant == variants_.end() ? fixture_variant::normal : variant->second;
        if (kind == fixture_variant::wrong) {
            volts = fixture_levels[line.level_index + 1];
        } else if (kind == fixture_variant::limit) {
            volts = (fixture_levels[line.level_index - 1] + fixture_levels[line.level_index]) * 0.5;
        } else {
            volts = fixture_levels[line.level_index];
        }
    }
    return volts_to_raw(volts);
}

bool board_model::set_fixture_variant(const std::string& line, fixture_variant variant) {
    for (const stimulus_line& stimulus : stimulus_lines) {
        std::string key = std::string(1, port_letter(stimulus.port)) + "." + std::to_string(stimulus.bit);
        if (line.size() == 3 && port_from_letter(line[0]) == stimulus.port && line.substr(1) == key.substr(1)) {
            variants_[key] = variant;
            return true;
        }
    }
    return false;
}

bool board_model::is_device(const std::string& name) {
    for (const char* known : device_names) {
        if (name == known) return true;
    }
    return false;
}

device_state board_model::device(const std::string& name) const {
    auto found = devices_.find(name);
    return found == devices_.end() ? device_state::missing : found->second;
}

bool board_model::set_device(const std::string& name, device_state state) {
    if (!is_device(name)) return false;
    devices_[name] = state;
    return true;
}

}  // namespace boardsim
