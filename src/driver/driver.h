// The command-line driver: walks the arguments, validates each TOKEN file,
// prints one line per file and hands accepted files to the conversion.
#pragma once

#include <cstdint>

// Prints the usage text and ends the process with status 0.
[[noreturn]] void usage();

// Sampling rate rate_man x 10^rate_exp, truncated toward zero; the lowest
// int32 when the product is out of range or not a number.
int32_t calc_rate(int16_t rate_exp, int16_t rate_man);

// The whole program; returns the exit status (always 0).
int ravlox_main(int argc, char **argv);
