// SPDX-License-Identifier: MIT
// Writes the seed corpus of the fuzz target with the project's builder:
// sound TOKEN files and files damaged in the ways a user's folder holds
// them. Inputs the fuzzer found stay beside these under their own names.
//   usage: mkcorpus DIR
#include "support/tokbuild.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

using bytes = std::vector<unsigned char>;

namespace {

tspec varied(int ntok, int npts)
{
    tspec s = tsimple(ntok, npts);
    s.cur_car = 1;
    for (int i = 0; i < ntok; i++) {
        tcar &c = s.cars[(size_t)i];
        c.nswp = (int16_t)(50 + 10 * i);
        c.scale_num = 3 + i;
        c.scale_den = (int16_t)(i % 3 == 2 ? 0 : 4);
        c.cal_gain = 0.5f;
        if (i % 2) { // no stored calibration: the fallback
            c.cal_cpv = 0;
            c.cal_vpp = 0;
        }
    }
    return s;
}

bytes cut(bytes f, size_t len)
{
    f.resize(len);
    return f;
}

bytes with32(bytes f, size_t off, int32_t v)
{
    put32(f, off, v);
    return f;
}

bytes with16(bytes f, size_t off, int16_t v)
{
    put16(f, off, v);
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fputs("usage: mkcorpus DIR\n", stderr);
        return 2;
    }
    std::string dir = argv[1];
    bool ok = true;
    auto out = [&](const char *name, const bytes &b) {
        ok = writefile(dir + "/seed-" + name, b) && ok;
    };
    auto edit = [](tspec s, const std::function<void(tspec &)> &f) {
        f(s);
        return tbuild(s);
    };

    const tspec base = varied(3, 300);
    const bytes good = tbuild(base);
    const size_t hitch = 512, car = 2 * 512, data = (size_t)tdatablk(base, 1) * 512;

    out("good", good);
    out("header-area", edit(base, [](tspec &s) { s.hdr_last = 2; }));
    out("empty-tokens", tbuild(varied(2, 0)));
    out("no-tokens", tbuild(tsimple(0, 100)));
    out("one-sample", tbuild(varied(2, 1)));
    out("block-plus-one", tbuild(varied(1, 257)));

    out("more-tokens-than-cars", edit(base, [](tspec &s) { s.ntok = 9; }));
    out("negative-ntok", edit(base, [](tspec &s) { s.ntok = -3; }));
    out("negative-npts", edit(base, [](tspec &s) { s.npts = -1; }));
    out("cur-car-past-end", edit(base, [](tspec &s) { s.cur_car = 32767; }));

    out("empty", {});
    out("cut-in-header", cut(good, 125));
    out("header-only", cut(good, 512));
    out("cut-in-hitch", cut(good, hitch + 3));
    out("cut-in-car", cut(good, car + 100));
    out("cut-after-car", cut(good, car + 202));
    out("cut-in-data", cut(good, data + 700));

    out("dblk-negative", with32(good, car + 2, -1));
    out("dblk-past-end", with32(good, car + 2, 1000));
    out("dblk-past-2g", with32(good, car + 2, 1 << 22));
    out("dblk-on-header", with32(good, car + 2, 0));
    out("dblk-overlaps-end", with32(good, car + 2, (int32_t)(good.size() / 512) - 1));

    out("hdr-last-minus-one", with16(good, 10, -1));
    out("hdr-last-far", with16(good, 10, 32767));
    out("hdr-last-lowest", with16(good, 10, -32768));

    out("marker", with16(good, 124, -31999));
    out("ftype", with16(good, 126, 11112));
    out("kind", edit(base, [](tspec &s) { memcpy(s.kind, "DPOAE", 6); }));
    out("kind-longer", edit(base, [](tspec &s) { memcpy(s.kind, "TEOAEX", 6); }));

    out("rate-too-large", edit(base, [](tspec &s) { s.rate_exp = 9; s.rate_man = 3; }));
    out("rate-fraction", edit(base, [](tspec &s) { s.rate_exp = -1; s.rate_man = 5; }));
    out("rate-nan", edit(base, [](tspec &s) { s.rate_exp = 400; s.rate_man = 0; }));

    out("calibration-edges", edit(base, [](tspec &s) {
            const float inf = std::numeric_limits<float>::infinity();
            s.cars[0].cal_cpv = 1000.0f;
            s.cars[0].cal_gain = inf;
            s.cars[1].cal_cpv = 1e9f;
            s.cars[1].scale_num = 0;
            s.cars[2].cal_cpv = std::nanf("");
            s.cars[2].nswp = 16384;
        }));
    // Not-a-number figures: 0 / 0, and a gain that is a NaN with a sign and
    // payload of its own; both are written as the one positive quiet NaN.
    out("ppc-nan", edit(base, [](tspec &s) {
            s.cars[2].cal_cpv = 0;
            s.cars[2].scale_num = 0;
            s.cars[2].scale_den = 4;
            s.cars[2].cal_gain = 0;
        }));
    out("gain-nan", edit(base, [](tspec &s) {
            s.cars[2].cal_cpv = 0;
            s.cars[2].scale_den = 4;
            s.cars[2].cal_gain = std::bit_cast<float>(0xffc01234u);
        }));
    // A run of cars longer than the reader's window over the cars.
    out("many-cars", tbuild(tsimple(140, 0)));

    if (!ok) {
        perror(dir.c_str());
        return 1;
    }
    return 0;
}
