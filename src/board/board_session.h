// Owner of one of the board's devices for a stretch of work: opened when the
// owner is made, closed when it goes.
#pragma once

// Whether a failed open still closes: the ADC's open stops at the first
// channel that fails and leaves the ones before it open.
enum class close_after { opened, any_open };

template <bool (*open_device)(), void (*close_device)(), close_after closing = close_after::opened>
class board_session {
public:
    board_session() : opened_(open_device()) {}
    ~board_session() {
        if (opened_ || closing == close_after::any_open) close_device();
    }
    board_session(const board_session&) = delete;
    board_session& operator=(const board_session&) = delete;
    bool opened() const { return opened_; }

private:
    bool opened_;
};
