// SPDX-License-Identifier: MIT
// Builds TOKEN files in memory from a description, for tests and examples.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct tcar {
    int32_t dblk = -1; // -1: laid out after the cars by build()
    int16_t nswp = 100;
    int32_t scale_num = 1;
    int16_t scale_den = 1;
    float cal_gain = 1.0f;
    float cal_cpv = 32767.0f;
    float cal_vpp = 0.05f;
    std::vector<int16_t> samples; // padded with zeros to whole blocks
};

struct tspec {
    int16_t hdr_last = 0;
    int16_t rate_exp = 3;
    int16_t rate_man = 25;
    int16_t marker = -32000;
    int16_t ftype = 11111;
    char kind[6] = {'T', 'E', 'O', 'A', 'E', 0};
    std::optional<int16_t> ntok; // unset: the number of cars
    int16_t npts = 0;
    int16_t cur_car = 0;
    std::vector<tcar> cars;
};

// The file's bytes: header, hitch, the cars, then every token's data blocks
// in order (for cars whose dblk is -1).
std::vector<unsigned char> tbuild(const tspec &s);

// A description of ntok tokens of npts samples each, filled with a pattern that
// differs from token to token.
tspec tsimple(int ntok, int npts);

// Block number of the first data block build() gives token n (1-based).
int32_t tdatablk(const tspec &s, int n);

void put16(std::vector<unsigned char> &f, size_t off, int16_t v);
void put32(std::vector<unsigned char> &f, size_t off, int32_t v);
void putf(std::vector<unsigned char> &f, size_t off, float v);

bool writefile(const std::string &path, const std::vector<unsigned char> &bytes);
std::vector<unsigned char> readfile(const std::string &path);
