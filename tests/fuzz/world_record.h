// For targets that run in a simulated board world: its own IPC namespace
// holds the record, so any content can be put there.
#pragma once

#include "ipc/shared_state.h"

#include <cstddef>
#include <cstdint>

// The record of this world, created on first use; aborts when there is none.
shared_state& world_record();

// Overwrites the record with `size` bytes (zero-padded) and frees every
// semaphore, as if the record came from a broken or foreign writer.
void scramble_record(const std::uint8_t* data, std::size_t size);
