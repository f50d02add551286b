// The fixture's audio loop as a PCM device of libasound: what the playback
// stream plays comes back on the capture stream of the same process after a
// delay, scaled by a gain, with optional noise. Faults on request: a device
// that grants only some other rate, a playback stream whose start never
// takes, a capture stream that overruns. The device clock runs from the
// monotonic clock, optionally faster than real time.
//
// Configuration keys of the pcm definition (all optional):
//   gain 0.5         loop gain (0 is a silent input)
//   delay 40         frames between playing and capturing
//   noise 0          peak of uniform noise added on capture, in sample units
//   rate 8000        the one rate the device grants
//   speed 1.0        device clock relative to real time
//   period 0         the one period size, in frames, the device grants (0: any)
//   crossed 0        1: each capture channel hears the other playback channel
//   fault none       none | never_starts | overrun_once | overrun_always
//   overrun_after 4000  capture frames before an overrun fault strikes
//   log "/path"     appends one line per start, refused start, overrun, prepare
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

enum class fault_kind { none, never_starts, overrun_once, overrun_always };

struct loop_settings {
    double gain = 0.5;
    long delay_frames = 40;
    double noise = 0.0;
    unsigned rate = 8000;
    double speed = 1.0;
    long period_frames = 0;
    bool crossed = false;
    fault_kind fault = fault_kind::none;
    long overrun_after = 4000;
    std::string log_path;
};

constexpr std::size_t ring_frames = 1u << 17;
constexpr unsigned loop_channels = 2;
constexpr long wake_interval_ns = 2'000'000;

// What the playback stream has handed to the device, by frame number since
// its last prepare; the capture stream of the same process listens to it.
struct played_line {
    std::mutex lock;
    std::vector<std::int16_t> ring = std::vector<std::int16_t>(ring_frames * loop_channels);
    std::uint64_t written = 0;
    std::optional<steady::time_point> started;

    std::int16_t sample(long long frame, unsigned channel) const {
        if (frame < 0 || static_cast<std::uint64_t>(frame) >= written || written - frame > ring_frames) return 0;
        return ring[(static_cast<std::size_t>(frame) % ring_frames) * loop_channels + channel];
    }
};

played_line& line() {
    static played_line instance;
    return instance;
}

struct loop_stream {
    snd_pcm_ioplug_t io{};
    loop_settings settings;
    int wake_fd = -1;
    std::optional<steady::time_point> started;
    std::uint64_t transferred = 0;  // frames through the device since prepare
    bool overrun = false;
    int overruns = 0;
    std::uint64_t noise_state = 0x9E3779B97F4A7C15ull;
};

loop_stream& stream_of(snd_pcm_ioplug_t* io) { return *static_cast<loop_stream*>(io->private_data); }

bool is_playback(const snd_pcm_ioplug_t* io) { return io->stream == SND_PCM_STREAM_PLAYBACK; }

void log_event(const snd_pcm_ioplug_t* io, const char* event) {
    const std::string& path = static_cast<const loop_stream*>(io->private_data)->settings.log_path;
    if (path.empty()) return;
    if (std::FILE* log = std::fopen(path.c_str(), "a")) {
        std::fprintf(log, "%s %s\n", is_playback(io) ? "playback" : "capture", event);
        std::fclose(log);  // NOLINT(cert-err33-c): best effort; a test reading the log misses the line
    }
}

double frames_per_second(const loop_stream& stream) { return stream.settings.rate * stream.settings.speed; }

std::uint64_t frames_since(const loop_stream& stream, steady::time_point start) {
    std::chrono::duration<double> elapsed = steady::now() - start;
    return static_cast<std::uint64_t>(elapsed.count() * frames_per_second(stream));
}

int loop_start(snd_pcm_ioplug_t* io) {
    loop_stream& stream = stream_of(io);
    // A trigger that keeps asking to be tried again leaves the stream prepared.
    if (is_playback(io) && stream.settings.fault == fault_kind::never_starts) {
        log_event(io, "start refused");
        return -EAGAIN;
    }
    log_event(io, "start");
    stream.started = steady::now();
    if (is_playback(io)) {
        std::lock_guard guard(line().lock);
        line().started = stream.started;
    }
    return 0;
}

int loop_stop(snd_pcm_ioplug_t* io) {
    loop_stream& stream = stream_of(io);
    stream.started.reset();
    if (is_playback(io)) {
        std::lock_guard guard(line().lock);
        line().started.reset();
    }
    return 0;
}

int loop_prepare(snd_pcm_ioplug_t* io) {
    loop_stream& stream = stream_of(io);
    log_event(io, "prepare");
    loop_stop(io);
    stream.transferred = 0;
    stream.overrun = false;
    if (is_playback(io)) {
        std::lock_guard guard(line().lock);
        line().written = 0;
    }
    return 0;
}

bool overrun_due(loop_stream& stream, std::uint64_t produced) {
    const fault_kind fault = stream.settings.fault;
    if (fault != fault_kind::overrun_once && fault != fault_kind::overrun_always) return false;
    if (fault == fault_kind::overrun_once && stream.overruns > 0) return false;
    return produced >= static_cast<std::uint64_t>(stream.settings.overrun_after);
}

snd_pcm_sframes_t playback_pointer(loop_stream& stream, std::uint64_t played) {
    if (played > stream.transferred) return -EPIPE;  // underrun
    return static_cast<snd_pcm_sframes_t>(played % stream.io.buffer_size);
}

snd_pcm_sframes_t capture_pointer(loop_stream& stream, std::uint64_t produced) {
    if (!stream.overrun && overrun_due(stream, produced)) {
        stream.overrun = true;
        ++stream.overruns;
        log_event(&stream.io, "overrun");
    }
    if (stream.overrun || produced - stream.transferred > stream.io.buffer_size) return -EPIPE;
    return static_cast<snd_pcm_sframes_t>(produced % stream.io.buffer_size);
}

snd_pcm_sframes_t loop_pointer(snd_pcm_ioplug_t* io) {
    loop_stream& stream = stream_of(io);
    if (!stream.started) return static_cast<snd_pcm_sframes_t>(io->hw_ptr % io->buffer_size);
    std::uint64_t frames = frames_since(stream, *stream.started);
    return is_playback(io) ? playback_pointer(stream, frames) : capture_pointer(stream, frames);
}

std::int16_t* frame_in(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t frame, unsigned channel) {
    const snd_pcm_channel_area_t& area = areas[channel];
    auto* base = static_cast<std::uint8_t*>(area.addr);
    return reinterpret_cast<std::int16_t*>(base + (area.first + area.step * frame) / 8);
}

void store_played(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    played_line& played = line();
    std::lock_guard guard(played.lock);
    for (snd_pcm_uframes_t frame = 0; frame < size; ++frame) {
        std::size_t slot = (played.written % ring_frames) * loop_channels;
        for (unsigned channel = 0; channel < loop_channels; ++channel) {
            played.ring[slot + channel] = *frame_in(areas, offset + frame, channel);
        }
        ++played.written;
    }
}

double next_noise(loop_stream& stream) {
    std::uint64_t& x = stream.noise_state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return (static_cast<double>(x >> 11) / 9007199254740992.0 * 2.0 - 1.0) * stream.settings.noise;
}

std::int16_t clipped(double value) {
    return static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
}

// Capture frame c hears the playback frame that was sounding delay frames
// earlier; both clocks tick at the same rate, so the distance is fixed.
void fill_captured(loop_stream& stream, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                   snd_pcm_uframes_t size) {
    played_line& played = line();
    std::lock_guard guard(played.lock);
    std::optional<long long> distance;
    if (played.started && stream.started) {
        std::chrono::duration<double> lead = *stream.started - *played.started;
        distance = std::llround(lead.count() * frames_per_second(stream)) - stream.settings.delay_frames;
    }
    for (snd_pcm_uframes_t frame = 0; frame < size; ++frame) {
        long long source = static_cast<long long>(stream.transferred) + static_cast<long long>(frame);
        for (unsigned channel = 0; channel < loop_channels; ++channel) {
            unsigned heard_channel = stream.settings.crossed ? loop_channels - 1 - channel : channel;
            double heard =
                distance ? stream.settings.gain * played.sample(source + *distance, heard_channel) : 0.0;
            *frame_in(areas, offset + frame, channel) = clipped(heard + next_noise(stream));
        }
    }
}

snd_pcm_sframes_t loop_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                                snd_pcm_uframes_t size) {
    loop_stream& stream = stream_of(io);
    if (is_playback(io)) {
        store_played(areas, offset, size);
    } else {
        fill_captured(stream, areas, offset, size);
    }
    stream.transferred += size;
    return static_cast<snd_pcm_sframes_t>(size);
}

// The wake-up timer only paces the library's waits; it re-checks the
// positions itself after every wake-up.
int loop_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds, unsigned short* revents) {
    std::uint64_t expirations = 0;
    for (unsigned i = 0; i < nfds; ++i) {
        if (pfd[i].revents & POLLIN) (void)!read(pfd[i].fd, &expirations, sizeof expirations);
    }
    *revents = is_playback(io) ? POLLOUT : POLLIN;
    return 0;
}

int loop_close(snd_pcm_ioplug_t* io) {
    loop_stream* stream = &stream_of(io);
    if (is_playback(io)) loop_stop(io);
    close(stream->wake_fd);
    delete stream;
    return 0;
}

const snd_pcm_ioplug_callback_t loop_callbacks = {
    .start = loop_start,
    .stop = loop_stop,
    .pointer = loop_pointer,
    .transfer = loop_transfer,
    .close = loop_close,
    .hw_params = nullptr,
    .hw_free = nullptr,
    .sw_params = nullptr,
    .prepare = loop_prepare,
    .drain = nullptr,
    .pause = nullptr,
    .resume = nullptr,
    .poll_descriptors_count = nullptr,
    .poll_descriptors = nullptr,
    .poll_revents = loop_poll_revents,
    .dump = nullptr,
    .delay = nullptr,
    .query_chmaps = nullptr,
    .get_chmap = nullptr,
    .set_chmap = nullptr,
};

bool parse_fault(const char* text, fault_kind& fault) {
    std::string_view word(text);
    if (word == "none") fault = fault_kind::none;
    else if (word == "never_starts") fault = fault_kind::never_starts;
    else if (word == "overrun_once") fault = fault_kind::overrun_once;
    else if (word == "overrun_always") fault = fault_kind::overrun_always;
    else return false;
    return true;
}

bool parse_setting(snd_config_t* node, std::string_view key, loop_settings& settings) {
    long integer = 0;
    const char* text = nullptr;
    if (key == "gain") return snd_config_get_ireal(node, &settings.gain) == 0;
    if (key == "noise") return snd_config_get_ireal(node, &settings.noise) == 0;
    if (key == "speed") return snd_config_get_ireal(node, &settings.speed) == 0 && settings.speed > 0;
    if (key == "delay") return snd_config_get_integer(node, &settings.delay_frames) == 0;
    if (key == "overrun_after") return snd_config_get_integer(node, &settings.overrun_after) == 0;
    if (key == "period") {
        return snd_config_get_integer(node, &settings.period_frames) == 0 && settings.period_frames >= 0;
    }
    if (key == "crossed") {
        if (snd_config_get_integer(node, &integer) != 0) return false;
        settings.crossed = integer != 0;
        return true;
    }
    if (key == "rate") {
        if (snd_config_get_integer(node, &integer) != 0 || integer <= 0) return false;
        settings.rate = static_cast<unsigned>(integer);
        return true;
    }
    if (key == "log") {
        if (snd_config_get_string(node, &text) != 0) return false;
        settings.log_path = text;
        return true;
    }
    if (key == "fault") return snd_config_get_string(node, &text) == 0 && parse_fault(text, settings.fault);
    return false;
}

int parse_settings(snd_config_t* conf, loop_settings& settings) {
    snd_config_iterator_t position;
    snd_config_iterator_t next;
    snd_config_for_each(position, next, conf) {
        snd_config_t* node = snd_config_iterator_entry(position);
        const char* id = nullptr;
        if (snd_config_get_id(node, &id) < 0) continue;
        std::string_view key(id);
        if (key == "comment" || key == "type" || key == "hint") continue;
        if (!parse_setting(node, key, settings)) {
            SNDERR("audio_loop: bad setting %s", id);
            return -EINVAL;
        }
    }
    return 0;
}

int set_constraints(snd_pcm_ioplug_t* io, const loop_settings& settings) {
    static const unsigned accesses[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    static const unsigned formats[] = {SND_PCM_FORMAT_S16_LE};
    int code = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, accesses);
    if (code == 0) code = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats);
    if (code == 0) code = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, loop_channels, loop_channels);
    if (code == 0) code = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, settings.rate, settings.rate);
    const unsigned frame_bytes = loop_channels * sizeof(std::int16_t);
    const unsigned period_bytes = static_cast<unsigned>(settings.period_frames) * frame_bytes;
    const unsigned period_min = period_bytes > 0 ? period_bytes : 64;
    const unsigned period_max = period_bytes > 0 ? period_bytes : 1u << 18;
    if (code == 0) code = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, period_min, period_max);
    if (code == 0) code = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 128, 1u << 20);
    if (code == 0) code = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024);
    return code;
}

int open_wake_timer() {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd == -1) return -errno;
    itimerspec period{{0, wake_interval_ns}, {0, wake_interval_ns}};
    if (timerfd_settime(fd, 0, &period, nullptr) != 0) {
        int code = -errno;
        close(fd);
        return code;
    }
    return fd;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(audio_loop) {
    (void)root;
    loop_settings settings;
    int code = parse_settings(conf, settings);
    if (code < 0) return code;
    int wake_fd = open_wake_timer();
    if (wake_fd < 0) return wake_fd;
    auto* loop = new (std::nothrow) loop_stream;
    if (loop == nullptr) {
        close(wake_fd);
        return -ENOMEM;
    }
    loop->settings = settings;
    loop->wake_fd = wake_fd;
    loop->io.version = SND_PCM_IOPLUG_VERSION;
    loop->io.name = "simulated audio loop";
    loop->io.poll_fd = wake_fd;
    loop->io.poll_events = POLLIN;
    loop->io.callback = &loop_callbacks;
    loop->io.private_data = loop;
    code = snd_pcm_ioplug_create(&loop->io, name, stream, mode);
    if (code < 0) {
        close(wake_fd);
        delete loop;
        return code;
    }
    code = set_constraints(&loop->io, settings);
    if (code < 0) {
        snd_pcm_ioplug_delete(&loop->io);
        return code;
    }
    *pcmp = loop->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(audio_loop)
}
