// Conversion of one accepted TEOAE TOKEN file into its MAT-file.
#pragma once

#include <cstdint>

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

// Converts the TOKEN file open in tfp (with ntok, npts and rate set) into
// the MAT-file named by path with its extension replaced by "mat"; path is
// rewritten in place to that name and needs room for 4 more bytes.
// The MAT-file appears whole or not at all: it is written under a temporary
// name beside it and renamed into place, or, when an output exists already,
// swapped with it; the old output then stays under the temporary name until
// the next conversion in the same folder writes over it or the program ends
// (see convert.cpp). An existing output is replaced and keeps its
// permissions; a new one is readable and writable by its owner only.
// Returns 0, or -1 with errno set when the output could not be written;
// then swp1set, cal_vpc and cal_ppc are as they were before.
int convert_file(char *path);
