// Whether a service lives, told by the kernel: the service holds a lock on
// its pid file for as long as it runs, and the lock goes with the process
// however it ends. A running flag in the record cannot tell that.
#pragma once

#include "base/unique_fd.h"

constexpr const char* service_pid_path = "/run/tovk.pid";

// The running service's claim on the pid file: written with its pid and
// locked at start, removed when the owner goes.
class service_pid_claim {
public:
    service_pid_claim();
    ~service_pid_claim();
    service_pid_claim(const service_pid_claim&) = delete;
    service_pid_claim& operator=(const service_pid_claim&) = delete;

    // False when another live service holds the file, or it cannot be written.
    bool claimed() const { return file_.valid(); }

private:
    unique_fd file_;
};

// True while some process holds the claim.
bool service_alive();
