// A request line to the world that runs this process.
#pragma once

#include <stddef.h>

// Sends one request line; the reply (without its closing "ok") lands in
// `reply`. False when the world cannot be reached or refuses.
__attribute__((visibility("hidden"))) bool ask_world(const char* request, char* reply, size_t reply_size);
