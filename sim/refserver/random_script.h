// The script of a random run: a seed makes steps that mix every kind of
// server word with cuts, slow reading and other tovk processes started beside
// the service, then the settling and the audit. The script is ordinary steps,
// so a failing seed's printed script reproduces it with --script.
#pragma once

#include <cstdint>
#include <string>

namespace refserver {

// Steps for about `seconds` of mixed traffic, then the settling and the
// audit. With `kills` the run starts and stops the service itself and kills
// it and other processes at random moments (the same traffic otherwise).
std::string random_script(std::uint64_t seed, double seconds, bool kills = false);

}  // namespace refserver
