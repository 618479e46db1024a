// SPDX-License-Identifier: MIT
// Conversion of one accepted TEOAE TOKEN file into its MAT-file.
#pragma once

#include "../common/fileio.h"

#include <cstdint>

struct tfile;

// Full scale: the largest 16-bit sample value over 10 volts.
constexpr double cpv_full = 3276.7;
// The volts per count that go with full scale, the fallback calibration.
constexpr double vpc_default = 1.0 / cpv_full;

struct calib {
    double vpc; // volts per count
    double ppc; // pascals per count
};

// The calibration of one token from its car figures: the stored counts per
// volt and volts per pascal when both are plausible, otherwise the
// full-scale fallback (with the token's scale and gain when scale_den > 0).
calib calibrate(int16_t nswp, int32_t scale_num, int16_t scale_den, float cal_gain,
                float cal_cpv, float cal_vpp);

// The figures the token converted last leaves for "reps", "ppc" and "vpc".
struct figures {
    int16_t reps; // twice its sweep count, in 16 bits
    double vpc;
    double ppc;
};

// The figures before any token: "reps" 0, "ppc" 1, "vpc" 1.
constexpr figures fig_start = {0, 1.0, 1.0};

// Works out token i (1 to ntok) of the accepted file tf, whose tokens have
// npts samples: reads it into raw (room for tblocks(npts) blocks), puts its
// samples times the token's scale factor at dst as native singles (4 x npts
// bytes, no alignment assumed) and sets *fig to the token's figures.
void tokconv(tfile *tf, int32_t i, int16_t npts, int16_t *raw, unsigned char *dst,
             figures *fig);

// v rounded to single, as "ppc" and "vpc" are written: a not-a-number is
// always the one positive quiet NaN (bits 0x7fc00000), whatever its sign
// and payload, so that the MAT-file has the same bytes on every host.
float onenan(double v);

// Converts the TOKEN file open in tfp (with ntok, npts and rate set) into
// the MAT-file out, whose name was looked up as *o. The MAT-file is
// written whole under a new temporary name beside it and renamed over the
// old one, so that the name always holds the old or the new whole file and
// no other file's storage is ever used. A replaced output keeps its owner,
// group, extended attributes and permission bits where they can be set; a
// new one is readable and writable by its owner only. An existing output
// the user may not write, or a folder, is left alone.
// Returns 0, with o->id set to the new file's identity; or -1 with errno
// set when the output could not be written: then swp1set, cal_vpc and
// cal_ppc are as they were before.
int convert_file(const char *out, outinfo *o);

// Makes SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE remove the temporary
// file in hand before they end the program, and has SIGXFSZ ignored, so
// that a write past the file size limit fails like any other. A signal that
// was ignored when the program started stays ignored. For the program's
// main only: a library that hosts the conversion keeps its own handlers.
void catchsignals();
