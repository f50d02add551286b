// The device filesystem's callbacks, each handing its file to the board model.
#define FUSE_USE_VERSION 31
#include "device_fs.h"

#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace boardsim {

namespace {

device_fs& self() { return *static_cast<device_fs*>(fuse_get_context()->private_data); }

std::string name_of(const char* path) { return path[0] == '/' ? std::string(path + 1) : std::string(path); }

std::optional<port_id> port_of(const std::string& name) {
    if (name.size() != 5 || name.compare(0, 4, "port") != 0) return std::nullopt;
    return port_from_letter(name[4]);
}

std::optional<unsigned> adc_of(const std::string& name) {
    if (name.size() != 4 || name.compare(0, 3, "adc") != 0 || name[3] < '0' || name[3] > '4') return std::nullopt;
    return static_cast<unsigned>(name[3] - '0');
}

void* on_init(fuse_conn_info*, fuse_config* config) {
    config->direct_io = 1;
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    return fuse_get_context()->private_data;
}

int on_getattr(const char* path, struct stat* info, fuse_file_info*) {
    return self().attributes(name_of(path), *info);
}

int on_readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOTDIR;
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
    for (const char* name : {"porta", "portb", "portc", "portf", "porth", "adc0", "adc1", "adc2", "adc3", "adc4"}) {
        struct stat info {};
        if (self().attributes(name, info) == 0) fill(buffer, name, nullptr, 0, fuse_fill_dir_flags{});
    }
    return 0;
}

int on_open(const char* path, fuse_file_info* file) {
    int result = self().open_file(name_of(path));
    file->direct_io = 1;
    file->keep_cache = 0;
    return result;
}

int on_read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info*) {
    return self().read_file(name_of(path), buffer, size, offset);
}

int on_write(const char* path, const char* buffer, size_t size, off_t offset, fuse_file_info*) {
    return self().write_file(name_of(path), buffer, size, offset);
}

// Shell redirections open with O_TRUNC; the registers have nothing to cut.
int on_truncate(const char*, off_t, fuse_file_info*) { return 0; }

fuse_operations operations() {
    fuse_operations ops{};
    ops.init = on_init;
    ops.getattr = on_getattr;
    ops.readdir = on_readdir;
    ops.open = on_open;
    ops.read = on_read;
    ops.write = on_write;
    ops.truncate = on_truncate;
    return ops;
}

}  // namespace

device_fs::~device_fs() { stop(); }

bool device_fs::start(const std::string& directory, std::string& error) {
    static const fuse_operations ops = operations();
    char program[] = "boardsim";
    char option[] = "-o";
    char name[] = "fsname=boardsim";
    char* argv[] = {program, option, name, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    fuse_ = fuse_new(&args, &ops, sizeof ops, this);
    fuse_opt_free_args(&args);
    if (fuse_ == nullptr) {
        error = "cannot create the device filesystem";
        return false;
    }
    if (fuse_mount(fuse_, directory.c_str()) != 0) {
        error = "cannot mount the device filesystem on " + directory + " (is /dev/fuse readable and writable?)";
        fuse_destroy(fuse_);
        fuse_ = nullptr;
        return false;
    }
    loop_ = std::thread([this] { fuse_loop_mt(fuse_, 0); });
    return true;
}

void device_fs::stop() {
    if (fuse_ == nullptr) return;
    fuse_exit(fuse_);
    fuse_unmount(fuse_);
    if (loop_.joinable()) loop_.join();
    fuse_destroy(fuse_);
    fuse_ = nullptr;
}

int device_fs::attributes(const std::string& name, struct stat& info) {
    info = {};
    info.st_uid = getuid();
    info.st_gid = getgid();
    info.st_nlink = 1;
    if (name.empty()) {
        info.st_mode = S_IFDIR | 0755;
        info.st_nlink = 2;
        return 0;
    }
    std::lock_guard lock(lock_);
    if (!board_model::is_device(name) || board_.device(name) == device_state::missing) return -ENOENT;
    info.st_mode = S_IFREG | (port_of(name) ? 0666 : 0444);
    info.st_size = port_of(name) ? 8 : 4;
    return 0;
}

int device_fs::open_file(const std::string& name) {
    std::lock_guard lock(lock_);
    switch (board_.device(name)) {
    case device_state::present: return 0;
    case device_state::unopenable: return -EACCES;
    default: return -ENOENT;
    }
}

int device_fs::read_file(const std::string& name, char* buffer, std::size_t size, off_t offset) {
    if (std::optional<port_id> port = port_of(name)) return read_port(*port, buffer, size, offset);
    if (std::optional<unsigned> channel = adc_of(name)) return read_adc(*channel, buffer, size);
    return -ENOENT;
}

int device_fs::read_port(port_id port, char* buffer, std::size_t size, off_t offset) {
    if (offset < 0 || offset >= 8) return 0;
    std::uint32_t image[2];
    {
        std::lock_guard lock(lock_);
        image[0] = board_.read_register(port, 0);
        image[1] = board_.read_register(port, 4);
    }
    std::size_t count = std::min(size, static_cast<std::size_t>(8 - offset));
    std::memcpy(buffer, reinterpret_cast<const char*>(image) + offset, count);
    return static_cast<int>(count);
}

int device_fs::read_adc(unsigned channel, char* buffer, std::size_t size) {
    std::lock_guard lock(lock_);
    adc_fault fault = board_.fault(channel);
    if (fault == adc_fault::eio) return -EIO;
    std::int32_t raw = board_.adc_raw(channel);
    std::size_t count = std::min(size, fault == adc_fault::short_read ? std::size_t{2} : sizeof raw);
    std::memcpy(buffer, &raw, count);
    return static_cast<int>(count);
}

// Bytes land in the 8-byte register image; each register touched is written
// once, as the driver takes a whole word.
int device_fs::write_file(const std::string& name, const char* buffer, std::size_t size, off_t offset) {
    std::optional<port_id> port = port_of(name);
    if (!port) return -EINVAL;
    if (offset < 0 || offset >= 8) return -ENOSPC;
    std::size_t count = std::min(size, static_cast<std::size_t>(8 - offset));
    std::lock_guard lock(lock_);
    const port_registers& regs = board_.registers(*port);
    std::uint32_t image[2] = {regs.data, regs.direction};
    std::memcpy(reinterpret_cast<char*>(image) + offset, buffer, count);
    if (offset < 4) board_.write_register(*port, 0, image[0]);
    if (offset + static_cast<off_t>(count) > 4) board_.write_register(*port, 4, image[1]);
    return static_cast<int>(count);
}

}  // namespace boardsim
