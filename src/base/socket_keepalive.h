// TCP keepalive as the service's server link and the inetd bridge both set
// it, so that a peer that stops answering is noticed within about 70 s.
#pragma once

// 6 probes, 10 s idle, 10 s apart. 1 on success, 0 on failure (logged).
int socket_keepalive_enable(int fd);
