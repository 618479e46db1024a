// SPDX-License-Identifier: MIT
// The same bytes everywhere: a cross-built ravlox (RAVLOX_BIN, run through
// RAVLOX_RUN) and the native one (RAVLOX_REF_BIN) convert the same files in
// the same order, and must print the same lines and write MAT-files that
// are identical byte for byte.
#include "support/matread.h"
#include "support/run.h"
#include "support/tokbuild.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

// Files that exercise every byte the conversion writes: sample patterns
// over the whole 16-bit range (with CR, LF and Ctrl-Z bytes), scales that
// round, every calibration rule and special value, wrapped sweep counts,
// empty and longest tokens, odd rates, damaged files, and files without
// tokens that carry the figures of the ones before.
std::vector<std::pair<std::string, bytes>> corpus()
{
    std::vector<std::pair<std::string, bytes>> files;
    auto add = [&](const std::string &name, const tspec &s) { files.push_back({name, tbuild(s)}); };
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();

    add("first_empty", tsimple(0, 100));
    tspec s = tsimple(3, 777);
    unsigned x = 12345;
    for (tcar &c : s.cars)
        for (int16_t &v : c.samples) {
            x = x * 1103515245u + 12345u;
            v = (int16_t)(x >> 16);
        }
    s.cars[0].samples[0] = -32768;
    s.cars[0].samples[1] = 32767;
    s.cars[0].samples[2] = 0x0a0d;
    s.cars[0].samples[3] = 0x1a0a;
    s.cars[0].samples[4] = 0x0d1a;
    add("noise", s);

    struct {
        const char *name;
        int16_t nswp;
        int32_t snum;
        int16_t sden;
        float gain, cpv, vpp;
    } cals[] = {
        {"stored", 260, 1, 4, 1, 3276.7f, 0.05f},
        {"fallback", 50, 1000, 10, 0.5f, 0, 0},
        {"thirds", 7, 1, 3, 0.3f, 999, 1e-7f},
        {"big_scale", 1, 123456789, 32767, 1.25f, 1e9f, 1},
        {"negative_den", 9, 5, -2, 2, 0, 0},
        {"zero_sweeps", 0, 3, 1, 1, 0, 0},
        {"infinite_ppc", 5, 0, 10, 0.5f, 0, 0},
        {"nan_ppc", 5, 0, 10, 0, 0, 0},
        {"inf_gain", 5, 1, 10, inf, 0, 0},
        {"nan_gain", 5, 1, 10, nan, nan, nan},
        {"negative_nan_gain", 5, 1, 10, std::bit_cast<float>(0xffc12345u), 0, 0},
        {"wrapped_reps", 16384, 1, 1, 1, 2e3f, 0.05f},
        {"negative_reps", -123, -7, 3, -1.5f, 2e3f, 1e5f},
    };
    for (auto &c : cals) {
        tspec t = tsimple(2, 300);
        for (tcar &car : t.cars) {
            car.nswp = c.nswp;
            car.scale_num = c.snum;
            car.scale_den = c.sden;
            car.cal_gain = c.gain;
            car.cal_cpv = c.cpv;
            car.cal_vpp = c.vpp;
        }
        add(c.name, t);
        add(std::string(c.name) + "_carried", tsimple(0, 10));
    }

    add("empty_tokens", tsimple(3, 0));
    add("longest", tsimple(2, 32767));
    add("one_sample", tsimple(1, 1));
    tspec r = tsimple(1, 10);
    r.rate_exp = -1;
    r.rate_man = 15;
    add("rate_tenths", r);
    r.rate_exp = 9;
    r.rate_man = 3;
    add("rate_overflow", r);
    r.rate_exp = 4;
    r.rate_man = -4;
    add("rate_negative", r);
    tspec neg = tsimple(0, 10);
    neg.ntok = -3;
    add("negative_ntok", neg);
    tspec more = tsimple(2, 100);
    more.ntok = 4;
    add("cars_missing", more);
    bytes cut = tbuild(tsimple(3, 600));
    cut.resize(cut.size() - 700);
    files.push_back({"cut", cut});
    tspec far = tsimple(2, 100);
    far.cars[1].dblk = 100000;
    add("data_past_end", far);
    tspec hdr = tsimple(2, 50);
    hdr.hdr_last = 3;
    hdr.cur_car = 2;
    add("long_header", hdr);
    return files;
}

struct run2 {
    runres res;
    std::vector<bytes> mats;
};

run2 convert(const std::string &prog, const std::vector<std::pair<std::string, bytes>> &files)
{
    scratch t;
    std::vector<std::string> args;
    for (auto &[name, data] : files) {
        writefile(t / (name + ".cal"), data);
        args.push_back(name + ".cal");
    }
    run2 r;
    r.res = runprog(prog, args, t.dir);
    for (auto &f : files)
        r.mats.push_back(readfile(t / (f.first + ".mat")));
    return r;
}

TEST(same, mat_files_match_the_native_build_byte_for_byte)
{
    const char *ref = getenv("RAVLOX_REF_BIN");
    ASSERT_TRUE(ref && *ref) << "RAVLOX_REF_BIN names the native ravlox";
    ASSERT_NE(ravlox_bin(), std::string(ref)) << "RAVLOX_BIN names the cross-built ravlox";
    auto files = corpus();
    run2 want = convert(ref, files);
    run2 got = convert(ravlox_bin(), files);
    EXPECT_EQ(got.res.status, 0);
    EXPECT_EQ(got.res.out, want.res.out);
    EXPECT_EQ(got.res.err, want.res.err);
    ASSERT_EQ(got.mats.size(), files.size());
    for (size_t i = 0; i < files.size(); i++) {
        // Every file of the corpus is converted; an empty pair would prove nothing.
        EXPECT_TRUE(matparse(want.mats[i]).ok) << files[i].first;
        EXPECT_EQ(got.mats[i].size(), want.mats[i].size()) << files[i].first;
        EXPECT_TRUE(got.mats[i] == want.mats[i]) << files[i].first << ".mat differs";
    }
}

} // namespace
