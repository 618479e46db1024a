// SPDX-License-Identifier: MIT
// The command-line driver: walks the arguments, validates each TOKEN file,
// prints one line per file and hands accepted files to the conversion.
#pragma once

#include <cstddef>
#include <cstdint>

struct tfile;

// Where the program's lines go: each line is written to fd in one write,
// the moment it is complete, so that the lines of programs sharing a log
// never mix; with fd -1 they are gathered in buf (NUL-terminated, len bytes,
// released by the caller with free). err is the errno of the first write
// that failed, 0 while none has.
struct textout {
    int fd;
    char *buf;
    size_t len;
    size_t cap;
    int err;
};

// Prints the usage text and ends the process with status 0.
[[noreturn]] void usage();

// Sampling rate rate_man x 10^rate_exp, truncated toward zero; the lowest
// int32 when the product is out of range or not a number.
int32_t calc_rate(int16_t rate_exp, int16_t rate_man);

// Why the open TOKEN file tf can't be converted, as the line for it says
// ("Not a valid TOKEN file" and so on), or null when it can.
const char *refusal(const tfile *tf);

// What the summary line gives for an accepted TOKEN file: the token count
// and the samples per token as its hitch holds them, and the sampling rate
// from its header.
struct tsummary {
    int16_t ntok;
    int16_t npts;
    int32_t rate;
};
tsummary summarize(const tfile *tf);

// The reason for the error stream why topen gave no handle, from the code
// it set.
const char *openfailure(int why);

// Runs the program over argv[1] .. argv[argc - 1], its standard output
// going to out and its error stream to err. The figures carried from file
// to file start afresh. Returns the exit status (always 0).
int ravlox_run(int argc, char **argv, textout *out, textout *err);

// The whole program; returns the exit status (always 0).
int ravlox_main(int argc, char **argv);
