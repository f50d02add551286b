// The shim's one way to the world: a request line on its control socket.
#include "world_request.h"

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

// Sends one request line; the reply (without its closing "ok") lands in
// `reply`. False when the world cannot be reached or refuses.
bool ask_world(const char* request, char* reply, size_t reply_size) {
    const char* path = getenv("BOARDSIM_CONTROL");
    if (path == nullptr) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) return false;
    strcpy(address.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) return false;
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              send(fd, request, strlen(request), MSG_NOSIGNAL) == static_cast<ssize_t>(strlen(request));
    char answer[512];
    size_t filled = 0;
    while (ok && filled + 1 < sizeof answer) {
        ssize_t count = read(fd, answer + filled, sizeof answer - 1 - filled);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        filled += static_cast<size_t>(count);
        answer[filled] = '\0';
        if (strstr(answer, "ok\n") != nullptr || strstr(answer, "error") != nullptr) break;
    }
    answer[filled] = '\0';
    close(fd);
    char* done = strstr(answer, "ok\n");
    if (!ok || done == nullptr) return false;
    *done = '\0';
    if (reply != nullptr && reply_size > 0) {
        size_t length = strnlen(answer, reply_size - 1);
        memcpy(reply, answer, length);
        reply[length] = '\0';
    }
    return true;
}
