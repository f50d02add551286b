// The record and semaphore set that every tovk process shares, found by
// ipc_key. Neither is ever removed: they live until the system restarts.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr std::size_t server_list_size = 257;
constexpr std::size_t packet_slot_size = 80;

// Its layout is an interface with other processes (and other builds of this
// program): never reorder or resize a field.
struct shared_state {
    std::uint8_t measurements_ready;
    double diode;
    double batt;
    std::uint8_t auxpwr;
    std::uint8_t running;
    std::uint8_t stopped;
    std::uint8_t ser_ch;
    std::uint32_t ser_baud;
    std::uint8_t ser_stop;
    std::uint8_t ser_data;
    std::uint8_t ser_parity;
    std::uint8_t ser_odd;
    std::uint8_t select_pulse_ms;
    std::uint16_t sample_rate;
    std::uint8_t in_channels;
    std::uint8_t out_channels;
    std::int32_t zlevel;
    char servers[server_list_size];
    std::int32_t servers_len;
    std::int32_t server_pos;
    std::int32_t rr_interval;
    std::uint8_t reconnect;
    double mod_vol[2];
    std::uint8_t pkt[packet_slot_size];
    std::uint8_t pkt_len;
    std::uint8_t pkt_dir;
    std::int32_t pic_version;
};

static_assert(sizeof(shared_state) == 432);
static_assert(alignof(shared_state) == 8);
static_assert(offsetof(shared_state, measurements_ready) == 0);
static_assert(offsetof(shared_state, diode) == 8);
static_assert(offsetof(shared_state, batt) == 16);
static_assert(offsetof(shared_state, auxpwr) == 24);
static_assert(offsetof(shared_state, running) == 25);
static_assert(offsetof(shared_state, stopped) == 26);
static_assert(offsetof(shared_state, ser_ch) == 27);
static_assert(offsetof(shared_state, ser_baud) == 28);
static_assert(offsetof(shared_state, ser_stop) == 32);
static_assert(offsetof(shared_state, ser_data) == 33);
static_assert(offsetof(shared_state, ser_parity) == 34);
static_assert(offsetof(shared_state, ser_odd) == 35);
static_assert(offsetof(shared_state, select_pulse_ms) == 36);
static_assert(offsetof(shared_state, sample_rate) == 38);
static_assert(offsetof(shared_state, in_channels) == 40);
static_assert(offsetof(shared_state, out_channels) == 41);
static_assert(offsetof(shared_state, zlevel) == 44);
static_assert(offsetof(shared_state, servers) == 48);
static_assert(offsetof(shared_state, servers_len) == 308);
static_assert(offsetof(shared_state, server_pos) == 312);
static_assert(offsetof(shared_state, rr_interval) == 316);
static_assert(offsetof(shared_state, reconnect) == 320);
static_assert(offsetof(shared_state, mod_vol) == 328);
static_assert(offsetof(shared_state, pkt) == 344);
static_assert(offsetof(shared_state, pkt_len) == 424);
static_assert(offsetof(shared_state, pkt_dir) == 425);
static_assert(offsetof(shared_state, pic_version) == 428);

// Every holder of sem_state keeps it for a copy only, so the service loop
// and the bridge never wait for it longer than this; a holder that is
// stopped or stuck costs them one skipped store or a lockless read.
constexpr int state_lock_wait_ms = 100;

// Indexes in the semaphore set.
enum semaphore_index : unsigned short {
    sem_state = 0,   // fields several processes write: server list, readings
    sem_gpio = 1,    // every read-modify-write of a port register
    sem_serial = 2,  // the UART
    sem_packet = 6,  // token of the packet slot: 1 = slot free
};
constexpr int semaphore_count = 7;

// The key of both the record and the semaphore set; set by the front end.
extern key_t ipc_key;

// Null on failure, silently. Every caller detaches on every path.
shared_state* attach_shared_state();
void detach_shared_state(shared_state* block);

bool open_semaphores();

// Locks carry SEM_UNDO so a dying holder gives them back.
bool sem_lock(semaphore_index index);
bool sem_trylock(semaphore_index index);
bool sem_unlock(semaphore_index index);
// sem_lock that gives up after the time-out (milliseconds), or on a signal.
bool sem_lock_within(semaphore_index index, int timeout_ms);
// sem_lock that waits on through signals: for locks held only for a moment.
bool sem_lock_through_signals(semaphore_index index);
// Tokens do not: one process takes, another gives back.
bool sem_take(semaphore_index index);
bool sem_trytake(semaphore_index index);
bool sem_give(semaphore_index index);
// Reads change nothing, so no kill between two lines can leave a token taken.
// The value, or -1 when the set cannot be read (removed).
int sem_value(semaphore_index index);
// The process that last changed the semaphore (for a taken token: its
// taker), or -1.
pid_t sem_last_pid(semaphore_index index);

// False once the record or the set this process uses is no longer the one
// under ipc_key (removed with ipcrm); `what` then names it.
bool ipc_still_current(const char*& what);

// Owner of one attachment of the record: detached on every path.
class attached_state {
public:
    attached_state() : block_(attach_shared_state()) {}
    ~attached_state() { detach_shared_state(block_); }
    attached_state(const attached_state&) = delete;
    attached_state& operator=(const attached_state&) = delete;

    explicit operator bool() const { return block_ != nullptr; }
    shared_state& operator*() const { return *block_; }
    shared_state* operator->() const { return block_; }

private:
    shared_state* block_;
};

// A lock of the set while this process holds it: released when the owner
// goes. A wait cut short by a signal holds nothing and releases nothing.
class held_lock {
public:
    static held_lock acquire(semaphore_index index) { return held_lock(index, sem_lock(index)); }
    static held_lock try_acquire(semaphore_index index) { return held_lock(index, sem_trylock(index)); }
    static held_lock acquire_through_signals(semaphore_index index) {
        return held_lock(index, sem_lock_through_signals(index));
    }
    static held_lock acquire_within(semaphore_index index, int timeout_ms) {
        return held_lock(index, sem_lock_within(index, timeout_ms));
    }
    held_lock(held_lock&& other) noexcept : index_(other.index_), held_(other.held_) { other.held_ = false; }
    held_lock& operator=(held_lock&&) = delete;
    held_lock(const held_lock&) = delete;
    ~held_lock() { release(); }

    bool held() const { return held_; }
    explicit operator bool() const { return held_; }
    void release() {
        if (held_) sem_unlock(index_);
        held_ = false;
    }

private:
    held_lock(semaphore_index index, bool held) : index_(index), held_(held) {}
    semaphore_index index_;
    bool held_;
};

// Flags and values that other processes change while this one watches them.
std::uint8_t load_shared(const std::uint8_t& field);
void store_shared(std::uint8_t& field, std::uint8_t value);
// Stores the value and returns the one it replaced, in one step.
std::uint8_t exchange_shared(std::uint8_t& field, std::uint8_t value);
