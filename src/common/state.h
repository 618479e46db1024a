// SPDX-License-Identifier: MIT
// Program-wide state, created at start and living until the process ends.
//
// The driver fills tfp, ntok, npts and rate for the file in hand; the
// converter reads them, uses outbuf and accbuf as its working storage and
// carries swp1set, cal_vpc and cal_ppc from one file to the next.
#pragma once

#include <cstdint>

struct tfile;

// The longest token a TOKEN file can describe: npts is a signed 16-bit
// count, so at most 32767 samples, which occupy 128 blocks of 256 samples.
constexpr int32_t maxsamp = 128 * 256;

extern tfile *tfp;
extern int16_t ntok;
extern int16_t npts;
extern int32_t rate;
extern int16_t outbuf[maxsamp];
extern float accbuf[maxsamp];
extern int16_t swp1set;
extern double cal_vpc;
extern double cal_ppc;
