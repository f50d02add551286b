#include "base/socket_keepalive.h"

#include "base/log.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>


namespace {

bool set_option(int fd, int level, int option, int value, const char* failure) {
    if (setsockopt(fd, level, option, &value, sizeof value) == 0) return true;
    log_failure() << failure;
    return false;
}

}  // namespace

int socket_keepalive_enable(int fd) {
    return set_option(fd, IPPROTO_TCP, TCP_KEEPCNT, 6, "setsockopt: cannot set TCP_KEEPCNT") &&
                   set_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, 10, "setsockopt: cannot set TCP_KEEPIDLE") &&
                   set_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, 10, "setsockopt: cannot set TCP_KEEPINTVL") &&
                   set_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1, "setsockopt: cannot set SO_KEEPALIVE")
               ? 1
               : 0;
}
