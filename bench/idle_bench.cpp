// The idle service inside a simulated board world: its CPU share with no
// server and with a server that never asks, how fast it reacts to a server
// word, a `tovk p` packet and `tovk r`, how soon its first readings are in,
// its private memory. Run it in a world:
//   boardsim --log DIR -- idle_bench TOVK DIR [idle seconds]
// With --launch, outside a world: `tovk l` beside /bin/true, run in pairs.
// Prints key=value figures on standard output, one line each.
#include "ipc/shared_state.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

pid_t start(const std::vector<std::string>& words, bool quiet = true) {
    pid_t pid = fork();
    if (pid == 0) {
        if (quiet) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
        }
        std::vector<char*> argv;
        for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Wall time of one run of the program, in ms.
double timed_run(const std::vector<std::string>& words) {
    auto begin = clock_type::now();
    int status = 0;
    waitpid(start(words), &status, 0);
    return ms_since(begin);
}

// utime + stime of a process, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::stol(field);
        if (index == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

std::string status_field(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", key.size() + 1));
    }
    return "?";
}

std::string load() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + "/" + five + "/" + fifteen;
}

// CPU share of the service and of the world (PID 1: the simulated board)
// over the given time, in percent of one core.
void idle_share(const char* what, pid_t service, int seconds) {
    long service_before = cpu_ticks(service), board_before = cpu_ticks(1);
    std::string load_before = load();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double ticks = static_cast<double>(sysconf(_SC_CLK_TCK)) * seconds;
    std::printf("idle_%s_service_cpu_pct=%.2f board_cpu_pct=%.2f seconds=%d load=%s..%s\n", what,
                100.0 * static_cast<double>(cpu_ticks(service) - service_before) / ticks,
                100.0 * static_cast<double>(cpu_ticks(1) - board_before) / ticks, seconds, load_before.c_str(),
                load().c_str());
}

int listen_server() {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(5555);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(sock, 1) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    return sock;
}

bool read_exactly(int sock, std::uint8_t* into, std::size_t count) {
    for (std::size_t got = 0; got < count;) {
        ssize_t n = read(sock, into + got, count - got);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// One upstream packet; its type letter, 0 when the connection ended.
char read_packet(int sock) {
    std::uint8_t header[5];
    if (!read_exactly(sock, header, 5)) return 0;
    std::vector<std::uint8_t> payload(header[3] * 256u + header[4]);
    return read_exactly(sock, payload.data(), payload.size()) ? static_cast<char>(header[1]) : 0;
}

void print_spread(const char* what, std::vector<double> values, const std::string& note) {
    std::sort(values.begin(), values.end());
    auto at = [&](double share) { return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5)]; };
    std::printf("%s_ms median=%.2f p99=%.2f max=%.2f n=%zu %s load=%s\n", what, at(0.5), at(0.99), values.back(),
                values.size(), note.c_str(), load().c_str());
}

// The server word that asks for data, sent when the service has its packet
// ready and is idle; the time until the first byte of the data packet.
void word_reactions(int sock, int rounds) {
    std::mt19937 random(26);
    std::uniform_int_distribution<int> idle_ms(300, 700);
    std::vector<double> reactions;
    const std::uint8_t request[4] = {0, 0, 1, 0};
    for (int round = 0; round < rounds; ++round) {
        // A capture takes 1.07 s after each packet; then the service idles.
        std::this_thread::sleep_for(milliseconds(1100 + idle_ms(random)));
        auto sent = clock_type::now();
        if (write(sock, request, 4) != 4) break;
        pollfd ready{sock, POLLIN, 0};
        poll(&ready, 1, 5000);
        reactions.push_back(ms_since(sent));
        if (read_packet(sock) != 'C') break;
    }
    if (!reactions.empty()) print_spread("reaction_word", reactions, "(server word to first data byte)");
}

// Packet exchanges the PIC has seen begin.
std::size_t packet_exchanges(const std::string& pic_log) {
    std::ifstream log(pic_log);
    std::size_t count = 0;
    for (std::string line; std::getline(log, line);) count += line.find(" stream_start ") != std::string::npos &&
                                                               line.find(" kind=packet ") != std::string::npos;
    return count;
}

// Whether the PIC's last stream has not ended: a capture the slot waits for.
bool stream_open(const std::string& pic_log) {
    std::ifstream log(pic_log);
    bool open = false;
    for (std::string line; std::getline(log, line);) {
        if (line.find(" stream_start ") != std::string::npos) open = true;
        if (line.find(" stream_end ") != std::string::npos) open = false;
    }
    return open;
}

// `tovk p` while the service idles; the time until the PIC sees the packet's
// exchange begin, beside the command's own run.
void packet_reactions(const std::string& tovk, const std::string& pic_log, int sock, int rounds) {
    std::vector<double> to_pic, own_run;
    // The packet read last started a capture.
    std::this_thread::sleep_for(milliseconds(1500));
    for (int round = 0; round < rounds; ++round) {
        // A capture that runs late would be timed, not the idle reaction.
        for (int tries = 0; stream_open(pic_log) && tries < 100; ++tries) std::this_thread::sleep_for(milliseconds(20));
        std::size_t before = packet_exchanges(pic_log);
        auto begin = clock_type::now();
        own_run.push_back(timed_run({tovk, "p", "1", "41"}));
        while (packet_exchanges(pic_log) == before && ms_since(begin) < 5000) std::this_thread::sleep_for(std::chrono::microseconds(200));
        to_pic.push_back(ms_since(begin));
        if (read_packet(sock) != 'E') break;
        // The service rests 1 s after each slot packet.
        std::this_thread::sleep_for(milliseconds(1500));
    }
    print_spread("reaction_p_to_pic", to_pic, "(from the start of tovk p)");
    print_spread("tovk_p_own_run", own_run, "");
}

double stop_service(const std::string& tovk, pid_t service) {
    double took = timed_run({tovk, "r"});
    waitpid(service, nullptr, 0);
    return took;
}

// Start to measurements_ready, in a record this world made fresh.
double first_readings_ms(shared_state& block, clock_type::time_point started) {
    while (load_shared(block.measurements_ready) == 0 && ms_since(started) < 10000) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return ms_since(started);
}

void launch_pairs(const std::string& tovk, int pairs) {
    double tovk_total = 0, true_total = 0;
    for (int pair = 0; pair < pairs; ++pair) {
        tovk_total += timed_run({tovk, "l"});
        true_total += timed_run({"/bin/true"});
    }
    std::printf("tovk_l_ms=%.3f bin_true_ms=%.3f ratio=%.2f pairs=%d load=%s\n", tovk_total / pairs,
                true_total / pairs, tovk_total / true_total, pairs, load().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc == 4 && std::string(argv[1]) == "--launch") {
        launch_pairs(argv[2], std::atoi(argv[3]));
        return 0;
    }
    if (argc < 3) {
        std::cerr << "usage: idle_bench TOVK WORLD_LOG_DIR [idle seconds] | idle_bench --launch TOVK PAIRS\n";
        return 2;
    }
    const std::string tovk = argv[1];
    const std::string pic_log = std::string(argv[2]) + "/pic.log";
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 30;
    // Short runs (a few seconds of idling) take fewer reaction samples too.
    const int rounds_of_words = seconds >= 30 ? 40 : 5;
    const int rounds_of_packets = seconds >= 30 ? 10 : 3;
    signal(SIGPIPE, SIG_IGN);
    ipc_key = ftok("/", 101);
    if (!open_semaphores()) return 1;
    attached_state block;
    if (!block) return 1;

    auto started = clock_type::now();
    pid_t service = start({tovk, "i", ""});
    std::printf("first_readings_ms=%.1f (start to measurements_ready)\n", first_readings_ms(*block, started));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    idle_share("no_server", service, seconds);
    std::vector<double> stops{stop_service(tovk, service)};
    for (int round = 1; round < rounds_of_packets; ++round) {
        service = start({tovk, "i", ""});
        // Past the first capture: the service idles.
        std::this_thread::sleep_for(milliseconds(1600));
        stops.push_back(stop_service(tovk, service));
    }
    print_spread("tovk_r", stops, "(no server, the command's own run included)");

    int listener = listen_server();
    service = start({tovk, "i", "127.0.0.1"});
    pollfd incoming{listener, POLLIN, 0};
    if (poll(&incoming, 1, 10000) != 1) {
        std::puts("the service did not connect");
        return 1;
    }
    int sock = accept(listener, nullptr, nullptr);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    idle_share("silent_server", service, seconds);
    std::printf("memory RssAnon=%s VmRSS=%s\n", status_field(service, "RssAnon").c_str(),
                status_field(service, "VmRSS").c_str());
    word_reactions(sock, rounds_of_words);
    packet_reactions(tovk, pic_log, sock, rounds_of_packets);
    std::printf("tovk_r_ms=%.2f (server connected) load=%s\n", stop_service(tovk, service), load().c_str());
    close(sock);
    close(listener);
    return 0;
}
