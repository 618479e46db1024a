// SPDX-License-Identifier: MIT
// A strict reader of Level 4 MAT-files, for checking what ravlox wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct mvar {
    int32_t type, mrows, ncols, imagf;
    std::string name;
    std::vector<unsigned char> data; // raw little-endian element bytes

    int16_t i16(size_t k = 0) const;
    float f32(size_t k = 0) const;
    uint32_t bits(size_t k = 0) const; // the raw bits of single k
};

// Parses the whole file; ok is false unless every byte belongs to a
// well-formed record (no trailing bytes, no short record).
struct mfile {
    bool ok = false;
    std::vector<mvar> vars;
    const mvar *find(const std::string &name) const;
};

mfile matparse(const std::vector<unsigned char> &bytes);
