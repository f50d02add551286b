// Whether a service lives, told by the kernel: the running service listens
// on a socket in the abstract namespace, which no file removal or ipcrm can
// touch, which needs no writable directory, and which the kernel closes
// however the service ends.
#pragma once

#include "base/unique_fd.h"

// Written for init scripts and operators while the service runs; liveness
// never rests on it.
constexpr const char* service_pid_path = "/run/tovk.pid";

// The running service's claim: taken at start, released before the service
// says it has stopped, so the next service can start at once.
class service_claim {
public:
    service_claim();
    ~service_claim() { release(); }
    service_claim(const service_claim&) = delete;
    service_claim& operator=(const service_claim&) = delete;

    // False when another live service holds the claim, or it cannot be had.
    bool claimed() const { return listener_.valid(); }
    // Readable while a liveness check waits to be answered.
    int listener() const { return listener_.get(); }
    // Closes the connections that liveness checks left queued.
    void answer_checks();
    void release();

private:
    unique_fd listener_;
    bool pid_file_written_ = false;
};

// True while some process holds the claim. The check also wakes an idle
// service at once.
bool service_alive();
