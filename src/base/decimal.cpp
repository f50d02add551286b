#include "base/decimal.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

bool parse_decimal(const char* text, long& value) {
    if (text == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (errno == ERANGE || end == text) return false;
    if (parsed < INT32_MIN || parsed > INT32_MAX) return false;
    value = parsed;
    return true;
}
