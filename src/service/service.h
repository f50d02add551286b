// The concentrator service: feeds the server with compressed one-second
// captures, carries out its commands, forwards slot packets and keeps the
// board's readings in the shared record.
#pragma once

// Returns 1 when the loop ran and ended on request, 0 when start-up failed
// or a PIC exchange failed.
int run_service(const char* servers_arg, const char* interval_arg);
