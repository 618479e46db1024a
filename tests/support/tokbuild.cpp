// SPDX-License-Identifier: MIT
#include "tokbuild.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

void put16(std::vector<unsigned char> &f, size_t off, int16_t v)
{
    if (f.size() < off + 2)
        f.resize(off + 2);
    uint16_t u = (uint16_t)v;
    f[off] = (unsigned char)u;
    f[off + 1] = (unsigned char)(u >> 8);
}

void put32(std::vector<unsigned char> &f, size_t off, int32_t v)
{
    if (f.size() < off + 4)
        f.resize(off + 4);
    uint32_t u = (uint32_t)v;
    for (int i = 0; i < 4; i++)
        f[off + i] = (unsigned char)(u >> (8 * i));
}

void putf(std::vector<unsigned char> &f, size_t off, float v)
{
    put32(f, off, std::bit_cast<int32_t>(v));
}

static int32_t nblocks(int npts) { return npts > 0 ? (npts + 255) / 256 : 0; }

int32_t tdatablk(const tspec &s, int n)
{
    int32_t blk = s.hdr_last + 2 + (int32_t)s.cars.size();
    for (int i = 1; i < n; i++)
        if (s.cars[i - 1].dblk < 0)
            blk += nblocks(s.npts);
    return blk;
}

std::vector<unsigned char> tbuild(const tspec &s)
{
    std::vector<unsigned char> f(512, 0);
    put16(f, 10, s.hdr_last);
    put16(f, 120, s.rate_exp);
    put16(f, 122, s.rate_man);
    put16(f, 124, s.marker);
    put16(f, 126, s.ftype);
    memcpy(&f[128], s.kind, 6);

    size_t hitch = (size_t)(s.hdr_last + 1) * 512;
    f.resize(hitch + 512, 0);
    put16(f, hitch + 0, s.ntok.value_or((int16_t)s.cars.size()));
    put16(f, hitch + 2, s.npts);
    put16(f, hitch + 6, s.cur_car);

    size_t ncar = s.cars.size();
    f.resize(hitch + 512 * (ncar + 1), 0);
    for (size_t i = 0; i < ncar; i++) {
        const tcar &c = s.cars[i];
        size_t car = hitch + 512 * (i + 1);
        int32_t dblk = c.dblk >= 0 ? c.dblk : tdatablk(s, (int)i + 1);
        put32(f, car + 2, dblk);
        put16(f, car + 12, c.nswp);
        put32(f, car + 30, c.scale_num);
        put16(f, car + 34, c.scale_den);
        putf(f, car + 178, c.cal_gain);
        putf(f, car + 194, c.cal_cpv);
        putf(f, car + 198, c.cal_vpp);
        if (c.dblk < 0) {
            size_t at = (size_t)dblk * 512;
            f.resize(std::max(f.size(), at + (size_t)nblocks(s.npts) * 512), 0);
            for (size_t j = 0; j < c.samples.size() && j < (size_t)nblocks(s.npts) * 256; j++)
                put16(f, at + 2 * j, c.samples[j]);
        }
    }
    if (f.size() % 512)
        f.resize(f.size() + 512 - f.size() % 512, 0);
    return f;
}

tspec tsimple(int ntok, int npts)
{
    tspec s;
    s.npts = (int16_t)npts;
    for (int t = 0; t < ntok; t++) {
        tcar c;
        c.samples.resize(npts > 0 ? npts : 0);
        for (int j = 0; j < npts; j++)
            c.samples[j] = (int16_t)((j * 37 + t * 1009) % 65536 - 32768);
        s.cars.push_back(c);
    }
    return s;
}

bool writefile(const std::string &path, const std::vector<unsigned char> &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

std::vector<unsigned char> readfile(const std::string &path)
{
    std::vector<unsigned char> out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return out;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}
