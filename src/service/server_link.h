// The service's side of the concentrator server: connection with address
// round-robin, 4-byte command words down, data packets and acknowledgements
// up, none of it blocking the loop.
#pragma once

#include "service/command_word.h"
#include "service/service_state.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct shared_state;

constexpr int server_port = 5555;

struct socket_readiness {
    bool readable = false;
    bool writable = false;
};

// With sem_state held: the round-robin step and a copy of the current
// entry, so the lock is held only for that.
bool server_entry_take(ServiceState& state, shared_state& block, std::string& entry);
// Without the lock and without waiting: a connection attempt goes on over
// later passes (server_connect_progress) for at most a few seconds.
void server_connect_start(ServiceState& state, const std::string& entry);
void server_connect_progress(ServiceState& state);

// Closes the connection and any attempt under way. The connection's close
// goes on beside the loop (closing_drain), at most a second.
void server_disconnect(ServiceState& state);
// One look at the connections being closed; closes those that are done.
void closing_drain(std::vector<closing_connection>& closing);
// At stop: waits for the connections being closed, at most a second.
void closing_finish(std::vector<closing_connection>& closing);
socket_readiness server_poll(ServiceState& state);
void command_receive(ServiceState& state);
// A word whose command goes out as a packet comes with the slot's token held.
void command_carry_out(ServiceState& state, shared_state& block, const decoded_word& word);

std::vector<std::uint8_t> data_packet_build(ServiceState& state, const shared_state& block,
                                            std::span<const std::uint8_t> capture);
std::vector<std::uint8_t> ack_packet_build();

// Sends what the socket takes of the packet; true once it is complete.
bool packet_send(ServiceState& state, const std::vector<std::uint8_t>& packet, std::uint32_t& sent);
