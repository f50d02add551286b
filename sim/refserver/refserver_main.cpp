// refserver: the reference concentrator server. It listens for the service,
// follows a script of steps, and checks every upstream packet: data packets
// are inflated and compared bit for bit with the simulated PIC's stream (which
// stream, which window, nothing skipped or repeated), acknowledgements byte for
// byte. One line per packet on standard output, JSON lines with --json, a line
// starting with "MISMATCH" on standard error for every failure, a summary at
// the end; exit status 0 only when every packet verified and every
// expectation held. refserver --help prints the options below and the steps
// of script.cpp's table.
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

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/stat.h>

namespace {

const char* const usage_text =
    "usage: refserver [options] [STEP...]\n"
    "options:\n"
    "  --port N            listen port (5555; 0 takes a free one, printed first)\n"
    "  --bind ADDR         listen address (127.0.0.1)\n"
    "  --script FILE       steps from FILE, run before the steps on the command line\n"
    "  --json FILE         JSON lines: one per packet, event and expectation, then the summary\n"
    "  --pic-log PATH      the PIC model's log (a file, or a world's log directory\n"
    "                      holding pic.log): places each capture exactly\n"
    "  --tolerance N       bytes a read may begin off the log's stamps (0)\n"
    "  --seed N            stream seed while no log names one (1)\n"
    "  --pic-channels N    bits per sample of the PIC's stream while no log names them\n"
    "  --rate N, --in-channels N, --out-channels N\n"
    "                      the service's capture settings (16384, 2, 4)\n"
    "  --search-streams N  streams searched after the last one without a log (64)\n"
    "  --max-read-begin N  furthest stream byte a capture's read may start at (16384)\n"
    "  --rcvbuf N          receive buffer of the connections (for slow reading)\n"
    "  --request-word HEX  the word request and continuous send (00000100: asks\n"
    "                      for data and nothing else)\n"
    "  --random SEED       a random run: the seed's generated script runs before any\n"
    "                      other steps; a failed run prints it\n"
    "  --random-seconds S  its traffic lasts about S seconds (20)\n"
    "  --kills             the random run starts and stops the service itself and\n"
    "                      kills it, producers and other tovk processes at random moments\n"
    "  --print-script      print the script that would run and exit\n"
    "  --tovk PATH         the tovk that side commands (\"at\") run\n"
    "  --driver PATH       the driver of tovk's library that \"at S driver\" runs\n"
    "  --service-log FILE  the service's log stream, for \"audit\"\n"
    "  --samples FILE      the first verified capture as text: a line per sample,\n"
    "                      its time in ms and each output channel's bit\n"
    "  --help              this text\n";

int help() {
    std::fputs(usage_text, stdout);
    for (const std::string& line : refserver::step_help()) std::printf("%s\n", line.c_str());
    return 0;
}

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

// The option's place in `line`, or null for none of these.
std::string* text_field(const std::string& name, command_line& line) {
    if (name == "--bind") return &line.server.bind_address;
    if (name == "--json") return &line.json_path;
    if (name == "--pic-log") return &line.server.pic_log_path;
    if (name == "--tovk") return &line.server.tovk_path;
    if (name == "--driver") return &line.server.driver_path;
    if (name == "--service-log") return &line.server.service_log_path;
    if (name == "--samples") return &line.server.samples_path;
    return nullptr;
}

bool text_option(const std::string& name, const char* value, command_line& line) {
    if (std::string* field = text_field(name, line)) {
        *field = name == "--pic-log" ? log_file_of(value) : value;
        return true;
    }
    if (name == "--request-word") return parse_word(value, line.server.request_word);
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
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return help();
    command_line line;
    if (!parse_command_line(argc, argv, line)) {
        std::cerr << "usage: refserver [options] [STEP...]   (refserver --help)" << std::endl;
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
