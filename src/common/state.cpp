// SPDX-License-Identifier: MIT
#include "state.h"

tfile *tfp = nullptr;
int16_t ntok = 0;
int16_t npts = 0;
int32_t rate = 0;
int16_t outbuf[maxsamp];
float accbuf[maxsamp];
int16_t swp1set = 0;
double cal_vpc = 1.0;
double cal_ppc = 1.0;
