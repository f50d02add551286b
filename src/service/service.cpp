#include "service/service.h"

#include "base/log.h"
#include "board/adc.h"
#include "board/gpio.h"
#include "commands/server_list.h"
#include "ipc/service_claim.h"
#include "ipc/shared_state.h"
#include "base/decimal.h"
#include "base/process_alive.h"
#include "base/sleep_whole.h"
#include "base/stop_flag.h"
#include "pic/pic_link.h"
#include "pic/pic_operations.h"
#include "service/idle_wait.h"
#include "service/server_link.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <utility>

namespace {

constexpr double module_scale = 55.59975117746379;
constexpr double module_low_volts = 22.0;
// One measurement step at most this often: diode and modules every 0.8 s.
constexpr std::chrono::milliseconds measurement_step_interval{100};

// Keeps a stop signal that arrives before running is set.
volatile std::uint8_t startup_keep_running = 1;

struct service_run {
    ServiceState state;
    shared_state& block;
    service_claim& claim;
    bool failed = false;
    metrics_file metrics;
    std::chrono::steady_clock::time_point next_measurement{};
};

bool elapsed(std::time_t since, double seconds) { return std::difftime(std::time(nullptr), since) >= seconds; }

void store_interval(shared_state& block, const char* interval_arg) {
    block.rr_interval = 0;
    if (interval_arg == nullptr) return;
    long interval = 0;
    if (!parse_decimal(interval_arg, interval)) {
        log_failure() << "Invalid address round-robin interval!";
        return;
    }
    block.rr_interval = static_cast<std::int32_t>(interval);
}

void write_operating_parameters(shared_state& block) {
    block.select_pulse_ms = 20;
    block.sample_rate = 16384;
    block.in_channels = 2;
    block.out_channels = 4;
    block.zlevel = -1;
}

// The board's boot order; the undervoltage line is driven low twice, as the
// board has always been brought up, in case its sequence matters to the
// hardware behind it.
bool board_lines_idle() {
    return auxpwrdis_set(false) && gpio_setup() && route_mode_set(false) && route_set(0, 0) &&
           undervoltage_line_set(false) && route_flag_set(false) && batt_measure_set(false) &&
           undervoltage_line_set(false) && pulse_line_set(false);
}

// Under sem_state: the stores of one measurement step.
template <typename Store>
void store_locked(Store store) {
    if (held_lock lock = held_lock::acquire_within(sem_state, state_lock_wait_ms)) store();
}

void measure_module(service_run& run, int channel, int index) {
    double volts = adc_volts(adc_read(channel)) * module_scale;
    store_locked([&] {
        run.block.mod_vol[index] = volts;
        run.state.mod_low[index] = volts < module_low_volts;
    });
}

void measurement_step(service_run& run) {
    ServiceState& state = run.state;
    state.slow_step = static_cast<std::uint8_t>((state.slow_step + 1) % 8);
    switch (state.slow_step) {
    case 0: {
        double volts = adc_volts(adc_read(4));
        store_locked([&] { run.block.diode = volts; });
        break;
    }
    case 2:
        if (elapsed(state.batt_last, 5)) {
            batt_measure_set(true);
            sleep_whole(std::chrono::milliseconds(1));
            double volts = adc_volts(adc_read(2));
            batt_measure_set(false);
            store_locked([&] { run.block.batt = volts * 5.1082 + 1.2; });
            state.batt_last = std::time(nullptr);
        }
        break;
    case 4:
        measure_module(run, 1, 0);
        break;
    case 6:
        measure_module(run, 0, 1);
        store_shared(run.block.measurements_ready, 1);
        break;
    default:
        break;
    }
}

bool measurement_due(service_run& run) {
    auto now = std::chrono::steady_clock::now();
    if (now < run.next_measurement) return false;
    run.next_measurement = now + measurement_step_interval;
    return true;
}

// Before the loop, whose first capture holds it for a second: the readings
// are in soon after the start.
void take_first_readings(service_run& run) {
    do {
        measurement_step(run);
    } while (run.state.slow_step != 6);
}

std::uint32_t capture_mask(ServiceState& state, const shared_state& block) {
    if (state.scan_mode) {
        state.scan_index = static_cast<std::uint8_t>(state.scan_index + 1);
        if (state.scan_index >= block.in_channels) state.scan_index = 0;
        return 1u << state.scan_index;
    }
    std::uint32_t mask = (1u << block.in_channels) - 1;
    if (state.route_channel != 0 && !state.route_flag) mask &= ~pic_channel_mask(state.route_channel);
    return mask & 0xFF;
}

bool run_failure(service_run& run, const char* message) {
    log_failure() << message;
    run.failed = true;
    store_shared(run.block.running, 0);
    return false;
}

bool pic_failure(service_run& run) {
    // A stop cuts short only the wait for the line, which a bridge may hold
    // for long: that is the stop, not a failing PIC.
    if (load_shared(run.block.running) == 0) return false;
    ++run.state.counters.pic_failures;
    return run_failure(run, "PIC exchange failed; stopping");
}

// A record or set removed under the service would leave it steering
// nobody: it ends, so that a supervisor starts it with fresh ones.
bool ipc_intact(service_run& run) {
    const char* what = "";
    if (ipc_still_current(what)) return true;
    return run_failure(run, (std::string("The ") + what + " was removed; stopping").c_str());
}

bool capture_phase(service_run& run) {
    ServiceState& state = run.state;
    if (state.paused || state.data_packet || state.legacy_code != 0 || state.ack_packet) return true;
    if (sem_value(sem_packet) != 1) return true;
    pic_parameters parameters{};
    if (!pic_parameters_from(run.block, parameters)) return pic_failure(run);
    std::vector<std::uint8_t> capture(pic_capture_size(parameters));
    if (!pic_capture(run.block, capture_mask(state, run.block), capture)) return pic_failure(run);
    ++state.counters.captures;
    state.data_packet = data_packet_build(state, run.block, capture);
    state.data_sent = 0;
    state.activity = true;
    return true;
}

// Packets on the wire never interleave: one partly sent goes first. A pause
// holds back new data packets, not the rest of one already begun.
void send_data_phase(service_run& run, const socket_readiness& ready) {
    ServiceState& state = run.state;
    if (!state.data_packet || !state.request_pending || !ready.writable || state.ack_sent != 0) return;
    if (state.paused && state.data_sent == 0) return;
    if (packet_send(state, *state.data_packet, state.data_sent)) {
        ++state.counters.data_packets;
        state.counters.data_bytes += state.data_packet->size();
        state.counters.last_data_packet = std::time(nullptr);
        state.data_packet.reset();
        state.data_sent = 0;
        state.request_pending = false;
        state.activity = false;
    }
}

// One acknowledgement per command carried out, queued one at a time.
void ack_due(ServiceState& state) {
    if (state.ack_packet) {
        ++state.acks_owed;
        return;
    }
    state.ack_packet = ack_packet_build();
    state.ack_sent = 0;
}

// A device command runs even while paused: the server waits for its
// acknowledgement, and its word must not block the resume behind it.
bool legacy_phase(service_run& run) {
    ServiceState& state = run.state;
    if (state.legacy_code == 0) return true;
    if (!pic_legacy_command(run.block, state.legacy_channel, state.legacy_address, state.legacy_code)) {
        return pic_failure(run);
    }
    ++state.counters.legacy_commands;
    ack_due(state);
    state.legacy_code = 0;
    state.activity = true;
    return true;
}

void send_ack_phase(service_run& run, const socket_readiness& ready) {
    ServiceState& state = run.state;
    if (!state.ack_packet || state.sock == 0 || !ready.writable || state.data_sent != 0) return;
    if (!packet_send(state, *state.ack_packet, state.ack_sent)) return;
    ++state.counters.acks;
    state.ack_packet.reset();
    state.ack_sent = 0;
    state.activity = false;
    if (state.acks_owed > 0) {
        --state.acks_owed;
        ack_due(state);
    }
}

// The slot's token without its packet, and the taker gone: a producer was
// killed between its claim and its length (or a service between its claim
// and its generated packet). Looked at once a second at most.
void reclaim_abandoned_slot(ServiceState& state) {
    std::time_t now = std::time(nullptr);
    if (now == state.slot_claim_checked) return;
    state.slot_claim_checked = now;
    pid_t taker = sem_last_pid(sem_packet);
    if (taker <= 0 || (taker != getpid() && process_alive(taker))) return;
    log_notice() << "Packet slot claimed by process " << taker << ", which has ended; slot freed";
    sem_give(sem_packet);
}

// A corrupt slot length is dropped with the token given back, so producers
// are not blocked behind it forever; nothing was sent, so nothing is
// acknowledged.
bool slot_phase(service_run& run) {
    ServiceState& state = run.state;
    int token = sem_value(sem_packet);
    if (token < 0) return ipc_intact(run);
    if (token > 0) return true;
    std::uint8_t length = load_shared(run.block.pkt_len);
    if (length == 0) {
        reclaim_abandoned_slot(state);
        return true;
    }
    // Paused, the packet waits for the resume.
    if (state.paused) return true;
    bool corrupt = length > packet_slot_size;
    if (corrupt) {
        log_failure() << "Packet slot length " << int{length} << " out of range; packet dropped";
    } else if (!pic_packet_send(run.block, run.block.pkt_dir, length, run.block.pkt)) {
        return pic_failure(run);
    }
    store_shared(run.block.pkt_len, 0);
    sem_give(sem_packet);
    state.activity = true;
    if (corrupt) return true;
    ++state.counters.slot_packets;
    if (state.route_channel == 0) route_set(0, 0);
    route_flag_set(state.route_flag);
    sleep_whole(std::chrono::seconds(1));
    ack_due(state);
    return true;
}

void periodic_pulses(ServiceState& state) {
    if (elapsed(state.pulse_last, 45)) {
        state.pulse_last = std::time(nullptr);
        pulse_line_set(true);
        state.pulse_started = state.pulse_last;
    }
    if (state.pulse_started != -1 && elapsed(state.pulse_started, 1)) {
        state.pulse_started = -1;
        pulse_line_set(false);
    }
    if (state.mod_low[0] && state.mod_low[1] && elapsed(state.undervoltage_last, 60)) {
        state.undervoltage_last = std::time(nullptr);
        undervoltage_line_set(true);
        state.undervoltage_started = state.undervoltage_last;
    }
    if (state.undervoltage_started != -1 && elapsed(state.undervoltage_started, 5)) {
        state.undervoltage_started = -1;
        undervoltage_line_set(false);
    }
}

// Paused, the service still connects, or the resume could never come.
bool connect_wanted(const ServiceState& state) {
    return state.sock == 0 && state.connecting_sock == 0 && !state.server_list_empty &&
           (state.data_packet || state.ack_packet || state.paused) && elapsed(state.last_connect_try, 0.9);
}

// sem_state is held for the list's copy only: the attempt itself never
// waits, so neither the loop nor another process waits for the network.
void connect_phase(service_run& run) {
    ServiceState& state = run.state;
    if (state.connecting_sock != 0) {
        server_connect_progress(state);
        return;
    }
    if (!connect_wanted(state)) return;
    std::string entry;
    {
        held_lock lock = held_lock::acquire_within(sem_state, state_lock_wait_ms);
        if (!lock) return;
        state.server_list_empty = current_server(run.block)[0] == '\0';
        if (state.server_list_empty || !server_entry_take(state, run.block, entry)) return;
    }
    server_connect_start(state, entry);
}

// A device word waits for the acknowledgement before it, and one whose code
// goes out as a packet for the slot, taken here so that no producer slips in
// between.
bool device_word_ready(const ServiceState& state, const decoded_word& word) {
    if (word.kind != word_kind::device) return true;
    if (state.legacy_code != 0 || state.ack_packet) return false;
    bool needs_slot = word.device && word.device->how == delivery::packet;
    return !needs_slot || sem_trytake(sem_packet);
}

void carry_out(service_run& run, const decoded_word& word) {
    command_carry_out(run.state, run.block, word);
    run.state.activity = true;
}

decoded_word decode(const service_run& run, const command_bytes& bytes) {
    return command_word_decode(bytes, run.block.pic_version, run.block.in_channels);
}

// Device words that must wait are set aside, so the words behind them are
// read and control words go through whatever waits: the server can always
// pause, resume or reset, and words waiting for a slot held while paused
// never block the resume. Device words keep their order; past
// parked_word_limit of them, the next waits in place.
void dispatch_phase(service_run& run) {
    ServiceState& state = run.state;
    if (!state.parked_words.empty() && device_word_ready(state, decode(run, state.parked_words.front()))) {
        carry_out(run, decode(run, state.parked_words.front()));
        state.parked_words.pop_front();
    }
    if (state.cmd_len != 4) return;
    decoded_word word = decode(run, state.cmd_bytes);
    bool waits = word.kind == word_kind::device && (!state.parked_words.empty() || !device_word_ready(state, word));
    if (waits && state.parked_words.size() >= parked_word_limit) return;
    state.request_pending = true;
    state.cmd_len = 0;
    if (waits) {
        state.parked_words.push_back(state.cmd_bytes);
    } else {
        carry_out(run, word);
    }
}

// What ends the wait of an idle pass: a word from the server, room for a
// packet that is due, the end of a connection attempt, and a liveness check,
// which r makes after clearing running and p after filling the slot.
idle_wake_sources wake_sources(const service_run& run) {
    const ServiceState& state = run.state;
    bool data_due = state.data_packet && state.request_pending && !(state.paused && state.data_sent == 0);
    return idle_wake_sources{state.sock, state.cmd_len < 4, data_due || state.ack_packet.has_value(),
                             state.connecting_sock, run.claim.listener()};
}

// A pass that did nothing waits, unless the next pass would capture.
void wait_if_idle(service_run& run) {
    const ServiceState& state = run.state;
    bool capture_next = !state.paused && !state.data_packet && state.legacy_code == 0 && !state.ack_packet;
    if (state.activity || capture_next || state.drop_connection) return;
    if (idle_wait(wake_sources(run), run.block.running)) run.claim.answer_checks();
}

// One pass; false when a PIC exchange failed and the pass ended early.
bool service_pass(service_run& run) {
    ServiceState& state = run.state;
    state.activity = false;
    connect_phase(run);
    if (exchange_shared(run.block.reconnect, 0) != 0) {
        ++state.counters.reconnects_asked;
        state.drop_connection = true;
    }
    if (state.drop_connection) server_disconnect(state);
    if (!state.closing.empty()) closing_drain(state.closing);
    socket_readiness ready;
    if (state.sock != 0) ready = server_poll(state);
    if (state.sock != 0 && ready.readable && state.cmd_len < 4) command_receive(state);
    dispatch_phase(run);
    if (!capture_phase(run)) return false;
    send_data_phase(run, ready);
    if (!legacy_phase(run)) return false;
    send_ack_phase(run, ready);
    if (!slot_phase(run)) return false;
    if (!state.activity && measurement_due(run)) measurement_step(run);
    auxpwr_poll(run.block);
    periodic_pulses(state);
    run.metrics.pass(state, run.block);
    wait_if_idle(run);
    return true;
}

enum class startup { ready, stopped, failed };

startup pic_ready(shared_state& block) {
    block.pic_version = pic_version_query();
    if (block.pic_version >= 0) return startup::ready;
    // A stop cut the wait for the line short.
    if (load_shared(block.running) == 0) return startup::stopped;
    log_failure() << "PIC communication failed!";
    return startup::failed;
}

// Once a second: the checks of the service's liveness are answered, and the
// record and the set are still the ones under the key.
bool housekeeping(service_run& run) {
    std::time_t now = std::time(nullptr);
    if (now == run.state.housekeeping_last) return true;
    run.state.housekeeping_last = now;
    run.claim.answer_checks();
    return ipc_intact(run);
}

void run_loop(service_run& run) {
    while (load_shared(run.block.running) != 0) {
        if (!service_pass(run) || !housekeeping(run)) break;
    }
}

// Whatever ended the loop, mid-exchange or mid-packet, the lines a pass
// drives are left at rest.
void board_lines_rest() {
    route_mode_set(false);
    route_set(0, 0);
    route_flag_set(false);
    batt_measure_set(false);
    pulse_line_set(false);
    undervoltage_line_set(false);
}

// 1 when the service ran (or was stopped while starting) and nothing
// failed, 0 otherwise.
// The connections still closing are handed back, to be waited for once the
// stop has been acknowledged.
int run_attached(shared_state& block, service_claim& claim, const char* interval_arg,
                 std::vector<closing_connection>& closing) {
    store_shared(block.reconnect, 0);
    store_interval(block, interval_arg);
    write_operating_parameters(block);
    gpio_session ports;
    if (!ports.opened() || !board_lines_idle()) return 0;
    adc_session adc;
    if (!adc.opened()) return 0;
    startup started = pic_ready(block);
    if (started == startup::failed) return 0;
    std::signal(SIGPIPE, SIG_IGN);

    service_run run{ServiceState{}, block, claim, false, metrics_file{}};
    run.state.last_connect_try = run.state.pulse_last = run.state.undervoltage_last = std::time(nullptr);
    if (started == startup::ready) {
        take_first_readings(run);
        run_loop(run);
    }
    server_disconnect(run.state);
    closing = std::move(run.state.closing);
    board_lines_rest();
    run.metrics.final_write(run.state, block);
    std::cout << "Signal caught...\n";
    return run.failed ? 0 : 1;
}

// running is set as soon as the record is had, so a stop (r or a signal)
// reaches the service during its start-up too.
int run_registered(shared_state& block, service_claim& claim, const char* interval_arg,
                   std::vector<closing_connection>& closing) {
    store_shared(block.running, 1);
    stop_registration registration(&block.running);
    if (startup_keep_running == 0) store_shared(block.running, 0);
    return run_attached(block, claim, interval_arg, closing);
}

}  // namespace

int run_service(const char* servers_arg, const char* interval_arg) {
    startup_keep_running = 1;
    stop_registration startup(&startup_keep_running);
    service_claim claim;
    if (!claim.claimed() || !set_server(servers_arg)) return 0;
    attached_state block;
    if (!block) return 0;
    std::vector<closing_connection> closing;
    int result = run_registered(*block, claim, interval_arg, closing);
    // Released first: once stopped reads 1, a new service can start. The
    // last connection's close may still wait a second for the server, which
    // neither r nor a new service need to wait for.
    claim.release();
    store_shared(block->stopped, 1);
    closing_finish(closing);
    return result;
}
