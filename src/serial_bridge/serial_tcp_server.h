// The serial-TCP bridge: started by inetd once per connection, with the
// socket on descriptors 0 and 1, it relays raw bytes between the connection
// and the serial channel of the record's settings.
#pragma once

// True once the line was configured, however the relay ended.
bool serial_tcp_server();
