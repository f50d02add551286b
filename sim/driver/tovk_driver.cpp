// Runs operations of tovk's library one after another inside a simulated
// board world, printing what they returned as key=value words, so that tests
// can drive the board and PIC layers directly and compare with the world's
// logs. Usage: tovk_driver OPERATION [words...] [OPERATION [words...]]...
#include "board/adc.h"
#include "board/gpio.h"
#include "board/serial_line.h"
#include "ipc/shared_state.h"
#include "pic/pic_link.h"
#include "pic/pic_operations.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/socket.h>
#include <sys/sem.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

shared_state* block = nullptr;

long word_at(char** words, int index) { return std::strtol(words[index], nullptr, 0); }

void print_ok(const char* operation, bool ok) { std::printf("%s=%d\n", operation, ok ? 1 : 0); }

std::vector<std::uint8_t> hex_bytes(const char* text) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t at = 0; text[at] != '\0' && text[at + 1] != '\0'; at += 2) {
        char pair[3] = {text[at], text[at + 1], 0};
        bytes.push_back(static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16)));
    }
    return bytes;
}

void print_hex(const char* key, const std::vector<std::uint8_t>& bytes) {
    std::printf("%s=", key);
    for (std::uint8_t byte : bytes) std::printf("%02X", byte);
    std::printf("\n");
}

void hold_lock(const char* operation, semaphore_index index, long seconds) {
    bool locked = sem_lock(index);
    print_ok(operation, locked);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    if (locked) sem_unlock(index);
}

const std::map<std::string, std::function<bool(bool)>> lines = {
    {"auxpwrdis", auxpwrdis_set},         {"route_flag", route_flag_set},   {"pulse", pulse_line_set},
    {"attention", pic_attention_set},     {"batt_measure", batt_measure_set}, {"route_mode", route_mode_set},
    {"undervoltage", undervoltage_line_set}};

// Bounded, so that a scenario that never gets there fails instead of hanging.
bool within_ten_seconds(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        usleep(2000);
    }
    return true;
}

struct operation {
    int words;
    std::function<void(char**)> run;
};

const std::map<std::string, operation> operations = {
    // The service's stream parameters: rate, input and output channels.
    {"params", {3, [](char** w) {
         block->sample_rate = static_cast<std::uint16_t>(word_at(w, 0));
         block->in_channels = static_cast<std::uint8_t>(word_at(w, 1));
         block->out_channels = static_cast<std::uint8_t>(word_at(w, 2));
         block->select_pulse_ms = 20;
     }}},
    {"gpio_setup", {0, [](char**) { print_ok("gpio_setup", gpio_setup()); }}},
    {"gpio_setup_test", {0, [](char**) { print_ok("gpio_setup_test", gpio_setup_test()); }}},
    {"line", {2, [](char** w) { print_ok(w[0], lines.at(w[0])(word_at(w, 1) != 0)); }}},
    {"mask", {1, [](char** w) { print_ok("mask", channel_mask_set(static_cast<std::uint8_t>(word_at(w, 0)))); }}},
    {"route", {2, [](char** w) {
         print_ok("route", route_set(static_cast<std::uint8_t>(word_at(w, 0)), static_cast<std::uint8_t>(word_at(w, 1))));
     }}},
    {"adc", {1, [](char** w) {
         std::int32_t raw = adc_read(static_cast<int>(word_at(w, 0)));
         std::printf("adc=%ld raw=%ld volts=%.6f\n", word_at(w, 0), static_cast<long>(raw), adc_volts(raw));
     }}},
    // channel baud data parity odd stop
    {"serial", {6, [](char** w) {
         bool ok = serial_open() && serial_setup(word_at(w, 0), baud_to_speed(word_at(w, 1)), word_at(w, 2),
                                                 static_cast<std::uint8_t>(word_at(w, 3)),
                                                 static_cast<std::uint8_t>(word_at(w, 4)), word_at(w, 5));
         print_ok("serial", ok);
     }}},
    {"lowlat_off", {0, [](char**) { print_ok("lowlat_off", serial_low_latency_off()); }}},
    {"version", {0, [](char**) { std::printf("version=%d\n", pic_version_query()); }}},
    {"capture", {1, [](char** w) {
         pic_parameters parameters{};
         std::vector<std::uint8_t> out(pic_parameters_from(*block, parameters) ? pic_capture_size(parameters) : 0);
         print_ok("capture", pic_capture(*block, static_cast<std::uint32_t>(word_at(w, 0)), out));
         print_hex("out", out);
     }}},
    {"legacy", {3, [](char** w) { print_ok("legacy", pic_legacy_command(*block, word_at(w, 0), word_at(w, 1), word_at(w, 2))); }}},
    {"packet", {2, [](char** w) {
         std::vector<std::uint8_t> packet = hex_bytes(w[1]);
         print_ok("packet", pic_packet_send(*block, static_cast<std::uint8_t>(word_at(w, 0)),
                                            static_cast<std::uint8_t>(packet.size()), packet.data()));
     }}},
    {"close", {0, [](char**) { pic_link_close(); }}},
    {"hold_serial", {1, [](char** w) { hold_lock("hold_serial", sem_serial, word_at(w, 0)); }}},
    {"hold_state", {1, [](char** w) { hold_lock("hold_state", sem_state, word_at(w, 0)); }}},
    {"hold_gpio", {1, [](char** w) { hold_lock("hold_gpio", sem_gpio, word_at(w, 0)); }}},
    {"sem", {1, [](char** w) {
         int set = semget(ipc_key, semaphore_count, 0);
         std::printf("sem%ld=%d\n", word_at(w, 0), semctl(set, static_cast<int>(word_at(w, 0)), GETVAL));
     }}},
    // A token the service only passes through is free when it can be taken
    // within ten seconds: its value alone races the service's own take and give.
    {"take_within", {1, [](char** w) {
         int set = semget(ipc_key, semaphore_count, 0);
         sembuf take{static_cast<unsigned short>(word_at(w, 0)), -1, 0};
         timespec bound{10, 0};
         bool taken = semtimedop(set, &take, 1, &bound) == 0;
         sembuf give{take.sem_num, +1, 0};
         std::printf("taken%ld=%d\n", word_at(w, 0), taken && semop(set, &give, 1) == 0 ? 1 : 0);
     }}},
    // Until another process waits for the semaphore.
    {"await_waiter", {1, [](char** w) {
         int set = semget(ipc_key, semaphore_count, 0);
         int index = static_cast<int>(word_at(w, 0));
         std::printf("waiter%d=%d\n", index, within_ten_seconds([&] { return semctl(set, index, GETNCNT) > 0; }) ? 1 : 0);
     }}},
    {"await_running", {0, [](char**) {
         std::printf("running=%d\n", within_ten_seconds([] { return load_shared(block->running) != 0; }) ? 1 : 0);
     }}},
    // Any content, as a broken or foreign writer may leave the record, with
    // every semaphore free again.
    {"scramble", {1, [](char** w) {
         std::mt19937 random(static_cast<std::uint32_t>(word_at(w, 0)));
         auto* bytes = reinterpret_cast<unsigned char*>(block);
         for (std::size_t i = 0; i < sizeof *block; ++i) bytes[i] = static_cast<unsigned char>(random());
         int set = semget(ipc_key, semaphore_count, 0);
         bool freed = set != -1;
         for (int index = 0; index < semaphore_count && freed; ++index) freed = semctl(set, index, SETVAL, 1) == 0;
         print_ok("scramble", freed);
     }}},
    {"slot", {0, [](char**) { std::printf("slot_len=%d\n", load_shared(block->pkt_len)); }}},
    // A slot claimed and never filled: a producer killed between its claim
    // and its length, once this driver has ended.
    {"claim_slot", {0, [](char**) { print_ok("claim_slot", sem_take(sem_packet)); }}},
    // A slot claimed with a length no packet can have, as a corrupt record holds it.
    {"slot_length", {1, [](char** w) {
         print_ok("slot_length", sem_take(sem_packet));
         store_shared(block->pkt_len, static_cast<std::uint8_t>(word_at(w, 0)));
     }}},
    // A server at ADDR:5555 whose SYNs go unanswered: its one-place accept
    // queue is filled and never emptied, for SECONDS.
    {"unanswering_server", {2, [](char** w) {
         sockaddr_in address{};
         address.sin_family = AF_INET;
         address.sin_port = htons(5555);
         inet_aton(w[0], &address.sin_addr);
         auto* peer = reinterpret_cast<sockaddr*>(&address);
         int listener = socket(AF_INET, SOCK_STREAM, 0);
         int filler = socket(AF_INET, SOCK_STREAM, 0);
         bool ok = bind(listener, peer, sizeof address) == 0 && listen(listener, 0) == 0 &&
                   connect(filler, peer, sizeof address) == 0;
         print_ok("unanswering_server", ok);
         std::fflush(stdout);
         std::this_thread::sleep_for(std::chrono::seconds(word_at(w, 1)));
     }}},
    {"sleep_ms", {1, [](char** w) { usleep(static_cast<useconds_t>(word_at(w, 0)) * 1000); }}},
};

}  // namespace

int main(int argc, char** argv) {
    ipc_key = ftok("/", 101);
    block = open_semaphores() ? attach_shared_state() : nullptr;
    if (block == nullptr || !gpio_open() || !adc_open()) {
        std::printf("driver=unavailable\n");
    }
    for (int at = 1; at < argc;) {
        auto found = operations.find(argv[at]);
        if (found == operations.end() || at + found->second.words >= argc) {
            std::printf("usage_error=%s\n", argv[at]);
            return 2;
        }
        found->second.run(argv + at + 1);
        std::fflush(stdout);
        at += 1 + found->second.words;
    }
    return 0;
}
