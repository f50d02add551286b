// The board as its device files show it: five GPIO ports with data and
// direction registers, the input levels the board drives, five ADC channels
// fed by the board's measurements or by the test fixture, and which device
// files exist. Pure model; the world serialises every call.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace boardsim {

class event_log;

enum class port_id { a, b, c, f, h };
constexpr std::array<port_id, 5> all_ports{port_id::a, port_id::b, port_id::c, port_id::f, port_id::h};

char port_letter(port_id port);
std::optional<port_id> port_from_letter(char letter);

struct port_registers {
    std::uint32_t data = 0;       // as last written
    std::uint32_t direction = 0;  // 1 = output
    std::uint8_t inputs = 0;      // what the board drives on input lines

    // Output bits read back as written, input bits as the board drives them.
    std::uint32_t level() const { return (data & direction) | (inputs & ~direction); }
    // High only when the line is an output and written high.
    bool driven_high(unsigned bit) const { return ((data & direction) >> bit) & 1u; }
};

// Lines with a role on the board (name set, mask of one or more bits) and
// every other bit of a port alone (name null): the groups the lines log names.
struct line_group {
    port_id port;
    std::uint32_t mask;
    const char* name;
};
std::vector<line_group> line_groups_of(port_id port);

enum class adc_fault { none, eio, short_read };
enum class fixture_variant { normal, wrong, limit };
enum class device_state { present, missing, unopenable };

// ADC scale of the board: volts = (raw / 50000 + 0.5) * 3.3.
double raw_to_volts(std::int32_t raw);
std::int32_t volts_to_raw(double volts);

constexpr double module_scale = 55.59975117746379;
constexpr double battery_scale = 5.1082;
constexpr double battery_offset = 1.2;

// Voltages the fixture produces, by level index.
extern const std::array<double, 13> fixture_levels;

struct stimulus_line {
    port_id port;
    unsigned bit;
    unsigned adc_channel;
    unsigned level_index;
};
// Each output the self test drives and where the fixture answers it.
extern const std::array<stimulus_line, 18> stimulus_lines;

struct board_hooks {
    // Before a port's line levels change (port H: the UART still routes by the old channel).
    std::function<void(port_id, std::uint32_t old_level, std::uint32_t new_level)> before_change;
    // After every write of a port register and every model change of its inputs.
    std::function<void(port_id, std::uint32_t level)> after_write;
    // Extra fields for line-change entries of a port (port B: the PIC's stream position).
    std::function<std::string(port_id)> stamp;
};

class board_model {
public:
    board_model(event_log& log, board_hooks hooks);

    std::uint32_t read_register(port_id port, unsigned offset) const;
    void write_register(port_id port, unsigned offset, std::uint32_t value);
    const port_registers& registers(port_id port) const;

    void set_aux_power(bool present);

    void set_diode(double volts) { diode_volts_ = volts; }
    void set_battery(double volts) { battery_volts_ = volts; }
    void set_module1(double volts) { module1_volts_ = volts; }
    void set_module2(double volts) { module2_volts_ = volts; }
    void set_raw(unsigned channel, std::optional<std::int32_t> raw) { raw_override_.at(channel) = raw; }
    void set_adc_fault(unsigned channel, adc_fault fault) { adc_faults_.at(channel) = fault; }
    adc_fault fault(unsigned channel) const { return adc_faults_.at(channel); }

    // The channel's conversion as the host reads it now.
    std::int32_t adc_raw(unsigned channel) const;

    void set_fixture(bool on) { fixture_ = on; }
    bool fixture() const { return fixture_; }
    // `line` is "B.7" style; false if it is no stimulus line.
    bool set_fixture_variant(const std::string& line, fixture_variant variant);

    device_state device(const std::string& name) const;
    bool set_device(const std::string& name, device_state state);
    static bool is_device(const std::string& name);

private:
    std::optional<std::int32_t> fixture_raw(unsigned channel) const;
    std::int32_t board_raw(unsigned channel) const;
    void change(port_id port, const std::function<void(port_registers&)>& mutate);
    void log_changes(port_id port, std::uint32_t old_level, std::uint32_t new_level);

    event_log& log_;
    board_hooks hooks_;
    std::array<port_registers, 5> ports_{};
    double diode_volts_ = 0.55;
    double battery_volts_ = 12.6;
    double module1_volts_ = 24.0;
    double module2_volts_ = 24.0;
    std::array<std::optional<std::int32_t>, 5> raw_override_{};
    std::array<adc_fault, 5> adc_faults_{};
    bool fixture_ = false;
    std::map<std::string, fixture_variant> variants_;
    std::map<std::string, device_state> devices_;
};

}  // namespace boardsim
