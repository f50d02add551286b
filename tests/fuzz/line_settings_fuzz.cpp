// Any five words for f: refused, or stored as settings a serial line can
// take; and decimal words read as the board's 32-bit long reads them.
#include "base/decimal.h"
#include "serial_bridge/serial_settings.h"
#include "world_record.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check_decimal(const std::string& text) {
    long value = 0;
    bool read = parse_decimal(text.c_str(), value);
    errno = 0;
    char* end = nullptr;
    long long wide = std::strtoll(text.c_str(), &end, 10);
    bool digits = end != text.c_str();
    bool fits = errno != ERANGE && wide >= INT32_MIN && wide <= INT32_MAX;
    if (read != (digits && fits)) std::abort();
    if (read && value != wide) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    shared_state& block = world_record();
    FuzzedDataProvider input(data, size);
    std::string words[5];
    for (std::string& word : words) {
        word = input.ConsumeRandomLengthString(24);
        check_decimal(word);
    }
    scramble_record(nullptr, 0);
    if (!serial_settings(words[0].c_str(), words[1].c_str(), words[2].c_str(), words[3].c_str(), words[4].c_str())) {
        if (block.ser_baud != 0) std::abort();  // a refusal stores nothing
        return 0;
    }
    line_settings stored = serial_settings_read(block);
    bool takeable = stored.channel <= 3 && stored.baud != 0 && stored.data >= 5 && stored.data <= 8;
    if (!takeable || stored.stop < 1 || stored.stop > 2) std::abort();
    return 0;
}
