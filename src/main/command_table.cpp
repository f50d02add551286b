#include "main/command_table.h"

#include "commands/info_dump.h"
#include "commands/level_power_stop.h"
#include "commands/packet_command.h"
#include "commands/server_list.h"
#include "base/error_report.h"
#include "base/syslog_log.h"
#include "main/front_end.h"
#include "selftest/self_test.h"
#include "serial_bridge/serial_settings.h"
#include "serial_bridge/serial_tcp_server.h"
#include "service/service.h"

#include <unistd.h>

#include <cctype>
#include <iostream>

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;

int status_of(bool succeeded) { return succeeded ? exit_ok : exit_failed; }

int usage_with(const invocation& call, int status) {
    print_usage(call.name);
    return status;
}

int status_or_usage(const invocation& call, bool succeeded) {
    return succeeded ? exit_ok : usage_with(call, exit_failed);
}

int run_server_list(const invocation& call) {
    return status_of(set_server(call.word_count == 1 ? call.word(0) : nullptr));
}

int run_zlevel(const invocation& call) {
    return status_or_usage(call, set_zlevel(call.word_count == 1 ? call.word(0) : nullptr));
}

int run_packet(const invocation& call) {
    if (call.word_count != 2) return usage_with(call, exit_ok);
    return status_of(send_packet(call.word(0), call.word(1)));
}

int run_ext_power(const invocation& call) {
    if (call.word_count != 1) return usage_with(call, exit_ok);
    return status_or_usage(call, set_ext_power(call.word(0)));
}

int run_dump(const invocation&) { return status_of(dump_info()); }

int run_self_test_command(const invocation&) { return status_of(run_self_test()); }

int run_service_foreground(const invocation& call) {
    return status_of(run_service(call.word(0), call.word(1)) == 1);
}

int run_service_daemon(const invocation& call) {
    if (daemon(1, 0) != 0) fatal_error("daemon");
    log_stream_to_syslog();
    return run_service_foreground(call);
}

int run_stop(const invocation&) { return status_of(stop_service()); }

bool output_requested(const char* word) {
    return word != nullptr && std::tolower(static_cast<unsigned char>(word[0])) == 'o';
}

int run_channel_enable(const invocation& call) {
    if (call.word_count < 1 || call.word_count > 2) return usage_with(call, exit_ok);
    return status_or_usage(call, serial_channel_enable(call.word(0), output_requested(call.word(1))));
}

int run_serial_settings(const invocation& call) {
    if (call.word_count != 5) return status_of(serial_settings(nullptr, nullptr, nullptr, nullptr, nullptr));
    return status_or_usage(
        call, serial_settings(call.word(0), call.word(1), call.word(2), call.word(3), call.word(4)));
}

int run_bridge(const invocation&) { return status_of(serial_tcp_server()); }

constexpr command_entry entries[] = {
    {'s', " [host] - set (get, if not specified) name or address of server\n", run_server_list},
    {'l', " [level] - set (get, if not specified) zlib compression level\n", run_zlevel},
    {'p', " <direction> <packet> - send data packet to specified direction\n", run_packet},
    {'x', " [0/1] - disable external power\n", run_ext_power},
    {'d', " - dump information\n", run_dump},
    {'z', " - perform self test\n", run_self_test_command},
    {'i', "  [host] - run service in foreground\n", run_service_foreground},
    {'m', "  [host] - daemonize\n", run_service_daemon},
    {'r', " - remove server\n", run_stop},
    {'e', " <ch> [i/o] - enable serial channel\n", run_channel_enable},
    {'f',
     " [ch] [baud] [data] [parity] [stop] - set (get, if not specified) channel (0-3), baud rate, "
     "data bits count (7-8), parity (N/E/O), stop bits count (1/2) for serial-TCP server\n",
     run_serial_settings},
    {'n', " - serial port server for inetd\n", run_bridge},
};

}  // namespace

std::span<const command_entry> command_table() { return entries; }

const command_entry* find_command(char letter) {
    for (const command_entry& entry : entries) {
        if (entry.letter == letter) return &entry;
    }
    return nullptr;
}
