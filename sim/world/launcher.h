// The host side of a world: enters the namespaces and runs the world as their PID 1.
#pragma once

#include "world.h"

namespace boardsim {

// Waits for the world and ends this process with its status (returns only
// when it cannot start one).
int launch_world(const world_options& options);

}  // namespace boardsim
