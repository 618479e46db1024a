// SPDX-License-Identifier: MIT
// Little-endian field access on byte images.
//
// TOKEN files and MAT-files store every number little-endian. Fields are
// taken from and put into byte buffers one byte at a time, so the result is
// the same on every host and no alignment is assumed (TOKEN fields lie two
// bytes off a 4-byte boundary).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

inline int16_t rd16(const unsigned char *p)
{
    return (int16_t)(uint16_t)(p[0] | (p[1] << 8));
}

inline uint32_t rdu32(const unsigned char *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
           ((uint32_t)p[3] << 24);
}

inline int32_t rd32(const unsigned char *p) { return (int32_t)rdu32(p); }

inline float rdf32(const unsigned char *p) { return std::bit_cast<float>(rdu32(p)); }

inline void wr16(unsigned char *p, int16_t v)
{
    uint16_t u = (uint16_t)v;
    p[0] = (unsigned char)u;
    p[1] = (unsigned char)(u >> 8);
}

inline void wru32(unsigned char *p, uint32_t u)
{
    p[0] = (unsigned char)u;
    p[1] = (unsigned char)(u >> 8);
    p[2] = (unsigned char)(u >> 16);
    p[3] = (unsigned char)(u >> 24);
}

inline void wr32(unsigned char *p, int32_t v) { wru32(p, (uint32_t)v); }

inline void wrf32(unsigned char *p, float v) { wru32(p, std::bit_cast<uint32_t>(v)); }

inline void wrf64(unsigned char *p, double v)
{
    uint64_t u = std::bit_cast<uint64_t>(v);
    wru32(p, (uint32_t)u);
    wru32(p + 4, (uint32_t)(u >> 32));
}

constexpr bool host_le = std::endian::native == std::endian::little;
