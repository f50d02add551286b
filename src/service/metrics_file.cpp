#include "service/metrics_file.h"

#include "commands/info_dump.h"
#include "ipc/shared_state.h"
#include "service/service_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string_view>
#include <system_error>

namespace {

// Debian's prometheus-node-exporter reads *.prom here; the temporary name
// does not match, so a half-written file is never read.
constexpr char metrics_dir[] = "/var/lib/prometheus/node-exporter";
constexpr char metrics_path[] = "/var/lib/prometheus/node-exporter/tovk.prom";
constexpr char metrics_temp_path[] = "/var/lib/prometheus/node-exporter/tovk.prom.tmp";
constexpr auto write_interval = std::chrono::seconds(10);

// A label value is whatever the record held: escaped as the format asks,
// and anything that is not printable ASCII replaced, so the file stays valid.
std::string label_value(std::string_view text) {
    std::string escaped;
    for (char character : text) {
        auto byte = static_cast<unsigned char>(character);
        if (character == '\\' || character == '"') escaped += '\\';
        if (character == '\n') {
            escaped += "\\n";
        } else {
            escaped += byte >= 0x20 && byte < 0x7F ? character : '?';
        }
    }
    return escaped;
}

// Readings as the d command prints them; the format's own words otherwise.
std::string number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    std::ostringstream text;
    text << value;
    return text.str();
}

class exposition {
public:
    void family(const char* name, const char* type, const char* help) {
        out_ << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    template <typename Value>
    void sample(const char* name, const std::string& labels, Value value) {
        out_ << name;
        if (!labels.empty()) out_ << '{' << labels << '}';
        out_ << ' ' << value << '\n';
    }
    template <typename Value>
    void one(const char* name, const char* type, const char* help, Value value) {
        family(name, type, help);
        sample(name, "", value);
    }
    std::string text() const { return out_.str(); }

private:
    std::ostringstream out_;
};

void state_lines(exposition& out, const ServiceState& state, const shared_state& block, bool up) {
    bool connected = up && state.sock != 0;
    out.one("tovk_up", "gauge", "1 while the service runs, 0 once it has stopped.", up ? 1 : 0);
    out.family("tovk_connected", "gauge", "1 while connected to a server; the label names the list entry.");
    out.sample("tovk_connected", "server=\"" + (connected ? label_value(state.connect_entry) : "") + "\"",
               connected ? 1 : 0);
    out.one("tovk_paused", "gauge", "1 while the server has paused captures.", state.paused ? 1 : 0);
    out.one("tovk_scan_mode", "gauge", "1 while captures poll one channel at a time.", state.scan_mode ? 1 : 0);
    out.one("tovk_pic_firmware_version", "gauge", "Firmware version the PIC answered at start.", block.pic_version);
}

void counter_lines(exposition& out, const service_counters& count) {
    out.one("tovk_data_packets_total", "counter", "Data packets sent to the server.", count.data_packets);
    out.one("tovk_data_bytes_total", "counter", "Bytes of the data packets sent, headers included.", count.data_bytes);
    out.one("tovk_acks_total", "counter", "Acknowledgement packets sent to the server.", count.acks);
    out.family("tovk_device_commands_total", "counter", "Device commands of the server carried out, by delivery.");
    out.sample("tovk_device_commands_total", "delivery=\"legacy\"", count.legacy_commands);
    out.sample("tovk_device_commands_total", "delivery=\"packet\"", count.packet_commands);
    out.one("tovk_slot_packets_total", "counter", "Packets of the packet slot sent to the PIC.", count.slot_packets);
    out.one("tovk_connection_attempts_total", "counter", "Connection attempts to a server.", count.connect_attempts);
    out.one("tovk_connection_failures_total", "counter", "Connection attempts that failed.", count.connect_failures);
    out.one("tovk_reconnects_requested_total", "counter", "Reconnections asked for by a new server list.",
            count.reconnects_asked);
    out.one("tovk_captures_total", "counter", "One-second captures of the PIC stream.", count.captures);
    out.one("tovk_pic_failures_total", "counter", "PIC exchanges that failed (each stops the service).",
            count.pic_failures);
    out.one("tovk_last_data_packet_timestamp_seconds", "gauge",
            "Unix time the last data packet was completed; 0 before the first.",
            static_cast<long long>(count.last_data_packet));
}

std::string module_label(int module) { return "module=\"" + std::to_string(module) + "\""; }

// The service alone stores these fields, so its own reads need no lock.
void reading_lines(exposition& out, const ServiceState& state, const shared_state& block) {
    if (block.measurements_ready != 1) return;
    out.one("tovk_battery_volts", "gauge", "Battery voltage.", number(block.batt));
    // A family's samples stay together, or the exporter refuses the file.
    out.family("tovk_module_volts", "gauge", "Module supply voltage (mod_vol0, mod_vol1 of tovk d).");
    for (int module : {0, 1}) out.sample("tovk_module_volts", module_label(module), number(block.mod_vol[module]));
    out.family("tovk_module_low", "gauge", "1 when the module's voltage was below 22 V at its last reading.");
    for (int module : {0, 1}) out.sample("tovk_module_low", module_label(module), state.mod_low[module] ? 1 : 0);
    out.one("tovk_diode_volts", "gauge", "Temperature diode voltage.", number(block.diode));
    out.one("tovk_temperature_celsius", "gauge", "Board temperature from the diode.",
            number(diode_temperature(block.diode)));
    out.one("tovk_external_power", "gauge", "1 while external power is present.", block.auxpwr != 0 ? 1 : 0);
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t count = ::write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

std::string metrics_text(const ServiceState& state, const shared_state& block, bool up) {
    exposition out;
    state_lines(out, state, block, up);
    counter_lines(out, state.counters);
    reading_lines(out, state, block);
    return out.text();
}

void metrics_file::pass(const ServiceState& state, const shared_state& block) {
    auto now = std::chrono::steady_clock::now();
    if (now < next_write_) return;
    next_write_ = now + write_interval;
    write(metrics_text(state, block, true));
}

void metrics_file::final_write(const ServiceState& state, const shared_state& block) {
    write(metrics_text(state, block, false));
}

// No fsync: the exporter reads the page cache, and the loop must not wait
// for the flash. The mode is set whatever the umask, for the exporter's user.
void metrics_file::write(const std::string& text) {
    int fd = open(metrics_temp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd == -1 && errno == ENOENT && access(metrics_dir, F_OK) != 0) return;
    bool written = fd != -1 && fchmod(fd, 0644) == 0 && write_all(fd, text);
    if (fd != -1 && close(fd) != 0) written = false;
    if (written && std::rename(metrics_temp_path, metrics_path) == 0) {
        failure_logged_ = false;
        return;
    }
    int error = errno;
    if (fd != -1) unlink(metrics_temp_path);
    if (!failure_logged_) std::clog << "Metrics file not written: " << std::generic_category().message(error) << std::endl;
    failure_logged_ = true;
}
