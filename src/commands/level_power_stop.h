// Small commands that steer the board and the service: compression level,
// external power and stop.
#pragma once

// Stores the level (null only shows it), then prints the stored level.
bool set_zlevel(const char* text);

// 0 enables the external power, any other number disables it; prints the
// line as read back.
bool set_ext_power(const char* text);

// Clears running and waits until the service acknowledges with stopped. A
// service that died without acknowledging is noticed and its flags cleared.
bool stop_service();
