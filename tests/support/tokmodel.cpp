// SPDX-License-Identifier: MIT
#include "tokmodel.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

using bytes = std::vector<unsigned char>;

// The file as an endless row of bytes, zero past its end.
struct image {
    const bytes &f;
    unsigned char at(int64_t off) const
    {
        return off >= 0 && off < (int64_t)f.size() ? f[(size_t)off] : 0;
    }
    int16_t i16(int64_t off) const { return (int16_t)(uint16_t)(at(off) | at(off + 1) << 8); }
    uint32_t u32(int64_t off) const
    {
        return (uint32_t)at(off) | (uint32_t)at(off + 1) << 8 | (uint32_t)at(off + 2) << 16 |
               (uint32_t)at(off + 3) << 24;
    }
    // Bytes of [pos, pos + len) that the file holds; none for pos < 0.
    int64_t held(int64_t pos, int64_t len) const
    {
        if (pos < 0 || pos >= (int64_t)f.size())
            return 0;
        return std::min(len, (int64_t)f.size() - pos);
    }
};

// Byte position of a block, or -1 (nothing there) when it is negative or
// past a signed 32-bit offset.
int64_t blockat(int64_t blk)
{
    return blk < 0 || blk * 512 > INT32_MAX ? -1 : blk * 512;
}

// A field of a block image at pos: the file's bytes, or zeros where pos is -1.
struct block {
    const image &im;
    int64_t pos;
    int16_t i16(int off) const { return pos < 0 ? 0 : im.i16(pos + off); }
    int32_t i32(int off) const { return pos < 0 ? 0 : (int32_t)im.u32(pos + off); }
    float f32(int off) const { return pos < 0 ? 0.0f : std::bit_cast<float>(im.u32(pos + off)); }
};

void le32(bytes &m, int32_t v)
{
    for (int i = 0; i < 4; i++)
        m.push_back((unsigned char)((uint32_t)v >> (8 * i)));
}

void record(bytes &m, int P, const std::string &name, int32_t rows)
{
    le32(m, P * 10);
    le32(m, rows);
    le32(m, 1);
    le32(m, 0);
    le32(m, (int32_t)name.size() + 1);
    m.insert(m.end(), name.begin(), name.end());
    m.push_back(0);
}

void i16var(bytes &m, const std::string &name, int16_t v)
{
    record(m, 3, name, 1);
    m.push_back((unsigned char)v);
    m.push_back((unsigned char)((uint16_t)v >> 8));
}

// Every not-a-number is written as the positive quiet NaN.
void f32var(bytes &m, const std::string &name, float v)
{
    record(m, 1, name, 1);
    le32(m, std::isnan(v) ? 0x7fc00000 : std::bit_cast<int32_t>(v));
}

uint64_t recsize(const std::string &name, uint64_t databytes)
{
    return 20 + name.size() + 1 + databytes;
}

} // namespace

std::string twarning(const std::string &arg)
{
    return "ravlox: warning: " + arg +
           " is incomplete or damaged; missing values were written as zeros\n";
}

texpect texpected(const bytes &f, const std::string &arg, tcarry &carry, uint64_t maxmat)
{
    texpect e;
    image im{f};
    auto reject = [&](const char *why) {
        e.line = "File " + arg + ": " + why + "\n";
        return e;
    };
    if (im.i16(124) != -32000) {
        e.errline = "ravlox: can't open " + arg + ": " +
                    (f.empty() ? "the file is empty"
                               : "not a TOKEN file (no TOKEN marker in its header)") +
                    "\n";
        return reject("Can't open the file");
    }
    if (im.i16(126) != 11111)
        return reject("Not a valid TOKEN file");
    static const unsigned char teoae[6] = {'T', 'E', 'O', 'A', 'E', 0};
    for (int i = 0; i < 6; i++)
        if (im.at(128 + i) != teoae[i])
            return reject("Unknown TOKEN file type");
    int64_t first = (int64_t)im.i16(10) + 1; // the hitch block
    block hitch{im, blockat(first)};
    int16_t ntok = hitch.i16(0), npts = hitch.i16(2);
    if (npts < 0)
        return reject("Invalid token size");
    e.warns = im.held(hitch.pos, 226) < 4;

    double r = std::pow(10.0, (double)im.i16(120)) * (double)im.i16(122);
    int32_t rate = r > -2147483649.0 && r < 2147483648.0 ? (int32_t)r : INT32_MIN;
    char line[200];
    snprintf(line, sizeof line, ": ntok=%d, size=%d, rate=%d\n", ntok, npts, rate);
    e.line = "File " + arg + line;
    e.converts = true;

    e.matsize = recsize("TEOAE_TOK", 2) + recsize("rate", 4) + recsize("npts", 2) +
                recsize("reps", 2) + recsize("ppc", 4) + recsize("vpc", 4);
    for (int i = 1; i <= ntok; i++)
        e.matsize += recsize("tok" + std::to_string(i), 4 * (uint64_t)npts);
    bool build = e.matsize <= maxmat;
    bytes &m = e.mat;
    if (build) {
        m.reserve(e.matsize);
        i16var(m, "TEOAE_TOK", ntok);
        f32var(m, "rate", (float)rate);
        i16var(m, "npts", npts);
    }
    int64_t nblk = (npts + 255) / 256;
    for (int i = 1; i <= ntok; i++) {
        block car{im, blockat(first + i)};
        // Without its whole car a token's samples are zeros; what there is
        // of the car still gives the figures.
        bool whole = im.held(car.pos, 202) == 202;
        block data{im, whole ? blockat(car.i32(2)) : -1};
        if (!whole || im.held(data.pos, nblk * 512) < 2 * (int64_t)npts)
            e.warns = true;
        int16_t nswp = car.i16(12), den = car.i16(34);
        int32_t num = car.i32(30);
        float gain = car.f32(178), cpv = car.f32(194), vpp = car.f32(198);
        carry.reps = (int16_t)(2 * nswp);
        double scale = den > 0 ? (double)num / den : 1.0;
        if (cpv > 1000.0f && cpv < 1e9f && (double)vpp > 1e-6 && vpp < 1e6f) {
            carry.vpc = 1.0 / cpv;
            carry.ppc = carry.vpc / vpp;
        } else if (den > 0) {
            carry.vpc = 1.0 / 3276.7;
            carry.ppc = (1.0 / 3276.7) / (scale / ((double)nswp * (double)gain * 3276.7));
        } else {
            carry.vpc = carry.ppc = 1.0 / 3276.7;
        }
        if (!build)
            continue;
        record(m, 1, "tok" + std::to_string(i), npts);
        for (int j = 0; j < npts; j++)
            le32(m, std::bit_cast<int32_t>((float)(data.i16(2 * j) * scale)));
    }
    if (build) {
        i16var(m, "reps", carry.reps);
        f32var(m, "ppc", (float)carry.ppc);
        f32var(m, "vpc", (float)carry.vpc);
    }
    if (e.warns)
        e.errline = twarning(arg);
    return e;
}
