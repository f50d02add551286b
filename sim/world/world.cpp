// Building the world, running its command, and tearing it down.
#include "world.h"

#include "namespaces.h"
#include "remote_run.h"
#include "vcd_export.h"

#include <cstdio>
#include <fstream>

namespace boardsim {

world::world(world_options options)
    : options_(std::move(options)),
      board_(log_),
      devices_(board_.board(), board_.lock()),
      verbs_(board_, devices_, log_) {}

bool world::build_filesystems(std::string& error) {
    if (!build_dev(device_binder::board_dir, error) || !mount_private_run(error) ||
        !mount_textfile_dir(options_.textfile_dir, error) ||
        !board_.share_consumed_counter(error)) {
        return false;
    }
    if (!mount_proc()) std::fprintf(stderr, "boardsim: warning: the world keeps the host's /proc\n");
    if (!loopback_up()) std::fprintf(stderr, "boardsim: warning: cannot bring the loopback up\n");
    if (!options_.log_dir.empty() && !log_.write_to(options_.log_dir)) {
        error = "cannot write logs to " + options_.log_dir;
        return false;
    }
    return true;
}

// The start verbs run once the files exist and before any is bound, so a
// device they remove never appears.
bool world::start_devices(std::string& error) {
    return board_.open(options_.fixture, error) && devices_.bind_uart(board_.uart().slave_path(), error) &&
           devices_.start_filesystem(error) && verbs_.run_at_start(options_.verbs, options_.script, error) &&
           devices_.bind_present(error);
}

bool world::build(std::string& error) {
    return build_filesystems(error) && control_.open(options_.control_path, error) && start_devices(error);
}

bool world::start_serving() {
    processes_.prepare_environment(options_.shim_path, control_.path(), simulated_board::consumed_counter_path);
    board_.start();
    return control_.start(control_handlers{
        [this](const verb_words& words, verb_reply& reply) { return verbs_.execute(words, reply); },
        [this](int fd, line_reader& reader, const verb_words& words) {
            serve_run(processes_, control_.stopping(), fd, reader, words);
        },
    });
}

int world::run() {
    std::string error;
    if (!build(error)) {
        std::fprintf(stderr, "boardsim: %s\n", error.c_str());
        return 125;
    }
    if (!start_serving()) return 125;
    log_.add("world", "start control=" + control_.path());
    for (const std::string& helper : options_.also) processes_.spawn_shell(helper);
    int status = processes_.run_command(options_.command);
    if (status < 0) {
        std::fprintf(stderr, "boardsim: cannot start the command\n");
        return 125;
    }
    log_.add("world", "end status=" + std::to_string(status));
    processes_.reap_all();
    tear_down();
    if (!write_vcd()) {
        std::fprintf(stderr, "boardsim: cannot write %s\n", options_.vcd_path.c_str());
        return status == 0 ? 125 : status;
    }
    return status;
}

bool world::write_vcd() {
    if (options_.vcd_path.empty()) return true;
    std::array<std::uint32_t, 5> levels{};
    for (port_id port : all_ports) levels[static_cast<std::size_t>(port)] = board_.board().registers(port).level();
    std::ofstream file(options_.vcd_path, std::ios::trunc);
    file << vcd_of_lines(log_.read("lines", "line", 0), levels, event_log::now());
    file.close();
    return static_cast<bool>(file);
}

void world::tear_down() {
    control_.stop();
    board_.stop();
    devices_.stop();
}

}  // namespace boardsim
