// The one byte a stop signal (SIGTERM, SIGHUP, SIGINT) clears: the
// keep-running flag of whichever loop is in charge of this process.
#pragma once

#include <csignal>
#include <cstdint>

// The signals whose handler is on_stop_signal.
inline constexpr int stop_signals[] = {SIGTERM, SIGHUP, SIGINT};

// Null while no loop runs. Whoever registers a byte withdraws it (null)
// before the byte's storage goes away.
extern volatile std::uint8_t* volatile stop_flag;

// Registers a flag for as long as it lives.
class stop_registration {
public:
    explicit stop_registration(volatile std::uint8_t* flag) { stop_flag = flag; }
    ~stop_registration() { stop_flag = nullptr; }
    stop_registration(const stop_registration&) = delete;
    stop_registration& operator=(const stop_registration&) = delete;
};

// True once a stop signal (or another process) cleared the registered byte.
bool stop_requested();

// Safe at any moment: clears the registered byte, nothing else.
void on_stop_signal(int signal_number);
