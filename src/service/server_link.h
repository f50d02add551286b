// The service's side of the concentrator server: connection with address
// round-robin, 4-byte command words down, data packets and acknowledgements
// up, all without blocking the loop except inside a connection attempt.
#pragma once

#include "service/service_state.h"

#include <cstdint>
#include <span>
#include <vector>

struct shared_state;

constexpr int server_port = 5555;

struct socket_readiness {
    bool readable = false;
    bool writable = false;
};

// TCP keepalive: 6 probes, 10 s idle, 10 s apart. 1 on success, 0 on failure.
int socket_keepalive_enable(int fd);

// With sem_state held.
void server_connect_attempt(ServiceState& state, shared_state& block);

void server_disconnect(ServiceState& state);
socket_readiness server_poll(ServiceState& state, shared_state& block);
void command_receive(ServiceState& state, shared_state& block);
void command_decode(ServiceState& state, shared_state& block);

std::vector<std::uint8_t> data_packet_build(ServiceState& state, const shared_state& block,
                                            std::span<const std::uint8_t> capture);
std::vector<std::uint8_t> ack_packet_build();

// Sends what the socket takes of the packet; true once it is complete.
bool packet_send(ServiceState& state, shared_state& block, const std::vector<std::uint8_t>& packet,
                 std::uint32_t& sent);
