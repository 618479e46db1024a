// SPDX-License-Identifier: MIT
// Writes the sample TOKEN files in examples/: TEOAE recordings of a decaying
// oscillation, as a click-evoked emission looks, and one without tokens.
//   usage: mkexamples DIR
#include "support/tokbuild.h"

#include <cmath>
#include <cstdio>
#include <string>

static tcar token(int npts, double rate, double f0, double amp, double tau, unsigned seed)
{
    tcar c;
    c.samples.resize((size_t)npts);
    unsigned x = seed;
    for (int j = 0; j < npts; j++) {
        double t = j / rate;
        x = x * 1103515245u + 12345u; // a little repeatable noise
        double noise = ((x >> 16) % 201 - 100) * 0.5;
        // The emission's frequency falls as it decays, as in a real ear.
        double f = f0 * (1.0 - 0.4 * t / 0.02);
        double v = amp * std::exp(-t / tau) * std::sin(2 * M_PI * f * t) + noise;
        c.samples[(size_t)j] = (int16_t)std::lround(v);
    }
    return c;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fputs("usage: mkexamples DIR\n", stderr);
        return 2;
    }
    std::string dir = argv[1];

    // subj1: four tokens of 512 samples at 25 kHz, with stored calibration.
    tspec s1;
    s1.npts = 512;
    s1.cur_car = 1;
    for (int k = 0; k < 4; k++) {
        tcar c = token(512, 25000, 3000 - 200 * k, 12000 - 1500 * k, 0.004, 17u + k);
        c.nswp = 260;
        c.scale_num = 1;
        c.scale_den = 4;
        c.cal_cpv = 3276.7f;
        c.cal_vpp = 0.05f;
        s1.cars.push_back(c);
    }

    // subj2: two tokens of 1024 samples at 40 kHz, no stored calibration.
    tspec s2;
    s2.rate_exp = 4;
    s2.rate_man = 4;
    s2.npts = 1024;
    for (int k = 0; k < 2; k++) {
        tcar c = token(1024, 40000, 2500, 9000, 0.006, 99u + k);
        c.nswp = 512;
        c.scale_num = 5;
        c.scale_den = 2;
        c.cal_gain = 0.5f;
        c.cal_cpv = 0.0f;
        c.cal_vpp = 0.0f;
        s2.cars.push_back(c);
    }

    // empty: a TEOAE file whose measurement holds no token.
    tspec s3;
    s3.npts = 512;

    bool ok = writefile(dir + "/subj1.cal", tbuild(s1)) &&
              writefile(dir + "/subj2.cal", tbuild(s2)) &&
              writefile(dir + "/empty.cal", tbuild(s3));
    if (!ok) {
        perror(dir.c_str());
        return 1;
    }
    return 0;
}
