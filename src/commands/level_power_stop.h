// Small commands that steer the board and the service: compression level,
// external power and stop.
#pragma once

// Stores the level (null only shows it), then prints the stored level.
bool set_zlevel(const char* text);

// 0 enables the external power, any other number disables it; prints the
// line as read back.
bool set_ext_power(const char* text);

// Stops the live service and waits until it has left its loop or is gone;
// with none alive it returns at once, clearing a flag a killed one left.
bool stop_service();
