// refserver: the reference concentrator server. It listens for the service,
// follows a script of steps, and checks every upstream packet: data packets
// are inflated and compared bit for bit with the simulated PIC's stream (which
// stream, which window, nothing skipped or repeated), acknowledgements byte for
// byte. One line per packet on standard output, JSON lines with --json, a line
// starting with "MISMATCH" on standard error for every failure, a summary at
// the end; exit status 0 only when every packet verified and every
// expectation held.
//
//   refserver [options] [STEP...]
//
// Options:
//   --port N            listen port (5555; 0 takes a free one, printed first)
//   --bind ADDR         listen address (127.0.0.1)
//   --script FILE       steps from FILE, run before the steps on the command line
//   --json FILE         JSON lines: one per packet, event and expectation, then the summary
//   --pic-log PATH      the PIC model's log (a file, or a world's log directory
//                       holding pic.log): places each capture exactly
//   --tolerance N       bytes a read may begin off the log's stamps (0)
//   --seed N            stream seed while no log names one (1)
//   --pic-channels N    bits per sample of the PIC's stream while no log names them
//   --rate N, --in-channels N, --out-channels N
//                       the service's capture settings (16384, 2, 4)
//   --search-streams N  streams searched after the last one without a log (64)
//   --max-read-begin N  furthest stream byte a capture's read may start at (16384)
//   --rcvbuf N          receive buffer of the connections (for slow reading)
//   --request-word HEX  the word request and continuous send (00000100: asks
//                       for data and nothing else)
//   --random SEED       a random run: the seed's generated script (random_script.h)
//                       runs before any other steps; a failed run prints it
//   --random-seconds S  its traffic lasts about S seconds (20)
//   --kills             the random run starts and stops the service itself and
//                       kills it, producers and other tovk processes at random moments
//   --print-script      print the script that would run and exit
//   --tovk PATH         the tovk that side commands ("at") run
//   --driver PATH       the driver of tovk's library that "at S driver" runs
//   --service-log FILE  the service's log stream, for "audit"
//   --samples FILE      the first verified capture as text: a line per sample,
//                       its time in ms and each output channel's bit
//
// Steps: one per argument, per line of the script file, or separated by ";".
// "#" starts a comment. Numbers are decimal, seconds may have decimals, bytes
// are hex. Steps that send wait up to 30 s for a connection first; the server
// accepts a new connection whenever it has none.
//   accept [within S]          a connection must come (30 s); also "expect connect"
//   request [N] [every S]      N plain request words (1), S seconds apart (0)
//   continuous N [within S]    one request outstanding: a new word after every data
//                              packet and on every new connection, until N data
//                              packets came (bound 5 + 3N s)
//   continuous forever         the same until the run is stopped (SIGINT, SIGTERM)
//   pause | resume | reset     control words FF000000, FFFFFFFF, 00000000
//   scan                       scan mode on: 00000001
//   mode M CH [route]          mode word: M (+4 with route), CH, 0, 0
//   command CH ADDR CODE [mode M] [route]
//                              a command for device ADDR on channel CH
//   word B0 B1 B2 B3           any command word
//   raw HEX...                 any bytes (half a word, garbage)
//   wait S                     keep receiving for S seconds
//   hold | release             stop reading the connection / read again
//   slowread BPS               read at most BPS bytes per second (0: no limit)
//   disconnect                 close the connection now
//   cut [N]                    close it inside the next data packet after N of
//                              its bytes (default half of it), within 30 s; it
//                              reads through a hold
//   expect data N [within S]   N more data packets arrive (bound 5 + 3N s)
//   expect ack N [within S]    N more acknowledgements arrive
//   expect quiet S             no packet at all for S seconds
//   expect closed [within S]   the service closes the connection (30 s)
//   cut [N] maybe              the same; no data packet to cut is no failure
//   at S tovk WORD...          run tovk WORD... in the background S seconds after
//                              the run began; its exit status is kept for the audit
//   at S driver WORD...        the same with the driver (a slot claimed by a process
//                              that then ends, a line held)
//   at S kill K tovk WORD...   the same, killed (SIGKILL) K seconds after its start
//   service start|kill|term|stop|second
//                              the service the run owns (tovk i 127.0.0.1, its log
//                              stream appended to --service-log): started, killed,
//                              stopped by SIGTERM or by tovk r (each must end it with
//                              status 0, r only once it has), or a second one started
//                              beside it, which must refuse with status 1
//   sndbuf small|normal        shrink the world's TCP send buffers (tcp_wmem) and the
//                              receive buffer of later connections, or restore them
//   blackhole ADDR             a listener on ADDR at the port that drops every SYN
//   sides [within S]           every side command has ended (30 s)
//   audit                      every acknowledgement stands for one pulse-coded
//                              command or one packet the PIC received, every
//                              "Legacy command:" reached the PIC, and every packet
//                              queued ("Generated packet:", a successful p of at
//                              most 78 bytes) reached it once; sides exited 0
//
// Counting: each "expect data/ack" and each finite "continuous" claims the
// packets it waited for; the next one counts from there. The service keeps at
// most one request: words sent before its next data packet leaves ask once.
//
// Windows: the capture's stream and read position are found in the stream
// itself. With the PIC log, the read must begin where the log's stamps put it
// (within --tolerance): the earliest of the select pulse's start plus the
// bytes read during it, the pulse's end, and the exchange's end minus the
// read. Every capture stream in the log (a sampling stream with one select
// pulse) must arrive, in order; a packet that fits no later stream is a
// mismatch. After the server cut or dropped a connection the captures in
// flight may be missing; after the service closed one mid-packet, its first
// packet of that kind on the next connection must repeat the unfinished bytes
// from byte 0.
#include "random_script.h"
#include "report.h"
#include "server.h"

#include <signal.h>

#include <cstdlib>
#include <optional>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/stat.h>

namespace {

struct command_line {
    refserver::server_options server;
    std::string script_text;
    std::string json_path;
    bool pic_channels_given = false;
    std::optional<std::uint64_t> random_seed;
    double random_seconds = 20;
    bool print_script = false;
    bool kills = false;
};

bool read_file(const std::string& path, std::string& text) {
    std::ifstream in(path);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

template <typename number>
bool parse_number(const char* text, number& value) {
    char* end = nullptr;
    errno = 0;
    long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < 0) return false;
    value = static_cast<number>(parsed);
    return static_cast<long long>(value) == parsed;
}

std::string log_file_of(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return path + "/pic.log";
    return path;
}

bool parse_word(const std::string& hex, std::vector<std::uint8_t>& word) {
    auto parsed = refserver::parse_script("word " + hex);
    if (!parsed.error.empty() || parsed.steps.size() != 1) return false;
    word = parsed.steps[0].bytes;
    return true;
}

bool numeric_option(const std::string& name, const char* value, command_line& line) {
    refserver::verifier_settings& verify = line.server.verify;
    if (name == "--port") return parse_number(value, line.server.port);
    if (name == "--tolerance") return parse_number(value, verify.tolerance);
    if (name == "--seed") return parse_number(value, verify.seed);
    if (name == "--pic-channels") return parse_number(value, verify.pic_channels) && verify.pic_channels > 0;
    if (name == "--rate") return parse_number(value, verify.format.sample_rate) && verify.format.sample_rate > 0;
    if (name == "--in-channels") return parse_number(value, verify.format.in_channels) && verify.format.in_channels > 0;
    if (name == "--out-channels") return parse_number(value, verify.format.out_channels) && verify.format.out_channels > 0;
    if (name == "--search-streams") return parse_number(value, verify.search_streams) && verify.search_streams > 0;
    if (name == "--max-read-begin") return parse_number(value, verify.max_read_begin);
    if (name == "--rcvbuf") return parse_number(value, line.server.receive_buffer);
    if (name == "--random") return parse_number(value, line.random_seed.emplace());
    if (name == "--random-seconds") return parse_number(value, line.random_seconds) && line.random_seconds > 0;
    return false;
}

bool text_option(const std::string& name, const char* value, command_line& line) {
    if (name == "--bind") return line.server.bind_address = value, true;
    if (name == "--json") return line.json_path = value, true;
    if (name == "--pic-log") return line.server.pic_log_path = log_file_of(value), true;
    if (name == "--request-word") return parse_word(value, line.server.request_word);
    if (name == "--tovk") return line.server.tovk_path = value, true;
    if (name == "--driver") return line.server.driver_path = value, true;
    if (name == "--service-log") return line.server.service_log_path = value, true;
    if (name == "--samples") return line.server.samples_path = value, true;
    if (name == "--script") {
        std::string text;
        if (!read_file(value, text)) return false;
        line.script_text = text + "\n" + line.script_text;
        return true;
    }
    return false;
}

bool parse_command_line(int argc, char** argv, command_line& line) {
    std::string steps;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0) {
            steps += word + "\n";
            continue;
        }
        if (word == "--print-script" || word == "--kills") {
            (word == "--kills" ? line.kills : line.print_script) = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (!numeric_option(word, value, line) && !text_option(word, value, line)) {
            std::cerr << "refserver: bad option " << word << " " << value << std::endl;
            return false;
        }
    }
    line.script_text += steps;
    if (line.random_seed) line.script_text = refserver::random_script(*line.random_seed, line.random_seconds, line.kills) + line.script_text;
    return true;
}

void on_stop(int) { refserver::session::stop_requested = true; }

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    command_line line;
    if (!parse_command_line(argc, argv, line)) {
        std::cerr << "usage: refserver [options] [STEP...]   (see the top of refserver_main.cpp)" << std::endl;
        return 2;
    }
    refserver::script_result script = refserver::parse_script(line.script_text);
    if (!script.error.empty()) {
        std::cerr << "refserver: " << script.error << std::endl;
        return 2;
    }
    if (line.print_script) {
        std::cout << line.script_text;
        return 0;
    }
    std::ofstream json;
    if (!line.json_path.empty()) {
        json.open(line.json_path, std::ios::trunc);
        if (!json) {
            std::cerr << "refserver: cannot write " << line.json_path << std::endl;
            return 2;
        }
    }
    install_stop_handlers();
    refserver::reporter report(std::cout, std::cerr, json.is_open() ? &json : nullptr);
    refserver::session run(line.server, script.steps, report);
    std::string error;
    if (!run.listen(error)) {
        std::cerr << "refserver: " << error << std::endl;
        return 2;
    }
    std::cout << "listening " << line.server.bind_address << ":" << run.port() << std::endl;
    run.run();
    report.summary(run.counts(), line.server.verify.tolerance, !line.server.pic_log_path.empty());
    if (!run.counts().passed() && line.random_seed) {
        std::cout << "FAILED SEED " << *line.random_seed << "; the script that reproduces it (--script FILE):\n"
                  << line.script_text << "END OF SCRIPT" << std::endl;
    }
    return run.counts().passed() ? 0 : 1;
}
