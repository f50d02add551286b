// The service's private state for one run of its loop.
#pragma once

#include "service/command_word.h"
#include "service/metrics_file.h"

#include <chrono>
#include <deque>
#include <ctime>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A connection whose sending side is shut: read until the server closes too
// or the deadline passes, then closed.
struct closing_connection {
    int sock;
    std::chrono::steady_clock::time_point deadline;
};

// Device words set aside at most: a server sends a few while paused.
constexpr std::size_t parked_word_limit = 32;

struct ServiceState {
    int sock = 0;  // 0: no server connection
    int connecting_sock = 0;  // an attempt under way; 0: none
    std::time_t connect_started = 0;
    std::string connect_entry;
    bool drop_connection = false;  // closed at the next disconnect phase
    // Found empty: looked at again only after a reconnect request, which
    // comes with every new list.
    bool server_list_empty = false;
    std::vector<closing_connection> closing;
    command_bytes cmd_bytes = {};
    std::uint32_t cmd_len = 0;
    // Device words set aside until they can be carried out (service.cpp).
    std::deque<command_bytes> parked_words;
    bool request_pending = false;
    bool paused = false;
    bool scan_mode = false;
    std::uint8_t scan_index = 0;
    std::uint8_t route_channel = 0;  // 1-based; 0 = none
    bool route_flag = false;
    std::uint8_t legacy_channel = 0;
    std::uint8_t legacy_address = 0;
    std::uint8_t legacy_code = 0;  // 0 = no legacy command pending
    std::optional<std::vector<std::uint8_t>> data_packet;
    std::uint32_t data_sent = 0;
    std::optional<std::vector<std::uint8_t>> ack_packet;
    std::uint32_t ack_sent = 0;
    // Acknowledgements due behind the queued one, so none is lost.
    std::uint32_t acks_owed = 0;
    bool activity = false;
    std::uint8_t slow_step = 255;
    bool mod_low[2] = {false, false};
    std::time_t last_connect_try = 0;
    bool rr_armed = false;
    std::time_t rr_since = 0;
    std::time_t pulse_last = 0;
    std::time_t pulse_started = -1;
    std::time_t undervoltage_last = 0;
    std::time_t undervoltage_started = -1;
    std::time_t batt_last = 0;
    std::time_t slot_claim_checked = 0;  // when an unfilled slot's taker was last looked for
    std::time_t housekeeping_last = 0;
    // Level at which compression last failed, so the fallback is logged once.
    std::optional<int> failed_zlevel;
    service_counters counters;
};
