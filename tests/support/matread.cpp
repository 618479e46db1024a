// SPDX-License-Identifier: MIT
#include "matread.h"

#include <bit>

static int32_t le32(const unsigned char *p)
{
    return (int32_t)((uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
                     ((uint32_t)p[3] << 24));
}

int16_t mvar::i16(size_t k) const
{
    return (int16_t)(uint16_t)(data.at(2 * k) | (data.at(2 * k + 1) << 8));
}

uint32_t mvar::bits(size_t k) const { return (uint32_t)le32(&data.at(4 * k)); }

float mvar::f32(size_t k) const { return std::bit_cast<float>(bits(k)); }

const mvar *mfile::find(const std::string &name) const
{
    for (const mvar &v : vars)
        if (v.name == name)
            return &v;
    return nullptr;
}

mfile matparse(const std::vector<unsigned char> &b)
{
    mfile m;
    size_t at = 0;
    while (at < b.size()) {
        if (b.size() - at < 20)
            return m;
        mvar v;
        v.type = le32(&b[at]);
        v.mrows = le32(&b[at + 4]);
        v.ncols = le32(&b[at + 8]);
        v.imagf = le32(&b[at + 12]);
        int32_t namlen = le32(&b[at + 16]);
        at += 20;
        int p = (v.type / 10) % 10;
        static const int size[] = {8, 4, 4, 2, 2, 1};
        if (v.type < 0 || v.type > 9999 || p > 5 || v.mrows < 0 || v.ncols < 0 || namlen < 1 ||
            b.size() - at < (size_t)namlen || b[at + namlen - 1] != 0)
            return m;
        v.name.assign((const char *)&b[at], (size_t)namlen - 1);
        at += (size_t)namlen;
        size_t n = (size_t)v.mrows * (size_t)v.ncols * size[p] * (v.imagf ? 2 : 1);
        if (b.size() - at < n)
            return m;
        v.data.assign(b.begin() + (long)at, b.begin() + (long)(at + n));
        at += n;
        m.vars.push_back(std::move(v));
    }
    m.ok = true;
    return m;
}
