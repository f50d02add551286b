#include "commands/info_dump.h"

#include <gtest/gtest.h>

namespace {

// Values from an independent CRC-8 (polynomial 0x31, start 0xFF, no
// reflection, no final xor) over text[2:] + "7R".
TEST(InfoDump, DiodeCheckCodeIsTheTextsCrcModuloAHundred) {
    EXPECT_EQ(diode_check_code("0.657756"), 46);
    EXPECT_EQ(diode_check_code("0.602"), 34);   // CRC 134: the code is modulo 100
    EXPECT_EQ(diode_check_code("0.605"), 1);    // CRC 101: printed as 01
    EXPECT_EQ(diode_check_code("12"), 29) << "short texts add nothing but the constant";
}

}  // namespace
