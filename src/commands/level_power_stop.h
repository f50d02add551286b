// Small commands that steer the service: compression level and stop.
#pragma once

// Stores the level (null only shows it), then prints the stored level.
bool set_zlevel(const char* text);

// Clears running and waits until the service acknowledges with stopped. A
// service that died without acknowledging is noticed and its flags cleared.
bool stop_service();
