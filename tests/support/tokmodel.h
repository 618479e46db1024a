// SPDX-License-Identifier: MIT
// What ravlox must make of a TOKEN file, worked out straight from the file's
// bytes without the reader, its windows or the writer: the oracle of the fuzz
// target and the fault tests. Bytes the file does not hold count as zeros.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The figures a conversion carries on to the next file of the run.
struct tcarry {
    int16_t reps = 0;
    double vpc = 1.0;
    double ppc = 1.0;
};

struct texpect {
    std::string line;                // the standard output line, "\n" included
    bool converts = false;           // a MAT-file is written
    bool warns = false;              // the file is incomplete or damaged
    std::string errline;             // what the error stream says of it, "\n" included
    uint64_t matsize = 0;            // the MAT-file's length in bytes
    std::vector<unsigned char> mat;  // its bytes, unless matsize passed the limit
};

// The outcome of "ravlox arg" on a file holding bytes, with the figures
// carry left by earlier files of the run (updated when the file converts).
// The MAT-file's bytes are only worked out when matsize is at most maxmat.
texpect texpected(const std::vector<unsigned char> &bytes, const std::string &arg,
                  tcarry &carry, uint64_t maxmat = UINT64_MAX);

// The standard error line ravlox writes for a damaged file named arg.
std::string twarning(const std::string &arg);
