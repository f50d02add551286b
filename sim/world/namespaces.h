// Linux plumbing of the world: entering namespaces from the host side and
// building the world's own /dev, /proc and loopback from inside.
#pragma once

#include <string>

namespace boardsim {

// User namespace first when not root, then mount, IPC, network and PID.
bool enter_namespaces(std::string& error);

// A fresh /dev: the usual nodes bound in from the host, a new devpts,
// /dev/shm, and an empty directory for the board's device filesystem.
bool build_dev(const std::string& board_dir, std::string& error);

// Our own /proc (best effort: a host may forbid it to a user namespace).
bool mount_proc();

// A /run of its own, so a service's pid file stays inside the world.
bool mount_private_run(std::string& error);
// The node exporter's textfile directory, /var/lib/prometheus/node-exporter:
// the host's is never visible; the world's is empty when present.
bool mount_textfile_dir(bool present, std::string& error);
bool loopback_up();

}  // namespace boardsim
