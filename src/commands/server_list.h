// The server list kept in the shared record: entries are the runs of digits
// and full stops in the stored text; server_pos marks the current one.
#pragma once

struct shared_state;

// Stores a new list (null changes nothing) and asks the service to reconnect.
bool set_server(const char* text);

// With sem_state held: split the stored text and make the first entry current.
void parse_server_list(shared_state& block);

// With sem_state held: step to the next entry, cyclically.
void next_server(shared_state& block);

// With sem_state held: the current entry, or "" when there is none or the
// record's indexes do not describe one.
const char* current_server(const shared_state& block);
