// SPDX-License-Identifier: MIT
// What the MAT-files hold: the variables, their order, types and values,
// the scaling and calibration per token, and the figures carried from one
// file to the next.
#include "support/matread.h"
#include "support/run.h"
#include "support/tokbuild.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

namespace {

const std::string bin = ravlox_bin();

uint32_t fbits(double v) { return std::bit_cast<uint32_t>((float)v); }

struct conv : ::testing::Test {
    scratch t;
    runres last;
    // Writes each description as name.cal, converts them in one run, returns the
    // MAT-files in the same order.
    std::vector<mfile> run(const std::vector<std::pair<std::string, tspec>> &files)
    {
        std::vector<std::string> args;
        for (auto &[name, desc] : files) {
            writefile(t / (name + ".cal"), tbuild(desc));
            args.push_back(name + ".cal");
        }
        last = runprog(bin, args, t.dir);
        std::vector<mfile> out;
        for (auto &f : files)
            out.push_back(matparse(readfile(t / (f.first + ".mat"))));
        return out;
    }
    mfile one(const tspec &s) { return run({{"f", s}})[0]; }
};

TEST_F(conv, variables_in_order_with_their_types_and_shapes)
{
    tspec s = tsimple(3, 300);
    mfile m = one(s);
    ASSERT_TRUE(m.ok);
    std::vector<std::string> names;
    for (auto &v : m.vars)
        names.push_back(v.name);
    EXPECT_EQ(names, (std::vector<std::string>{"TEOAE_TOK", "rate", "npts", "tok1", "tok2", "tok3",
                                               "reps", "ppc", "vpc"}));
    for (auto &v : m.vars) {
        bool i16 = v.name == "TEOAE_TOK" || v.name == "npts" || v.name == "reps";
        EXPECT_EQ(v.type, i16 ? 30 : 10) << v.name;
        EXPECT_EQ(v.mrows, v.name.rfind("tok", 0) == 0 ? 300 : 1) << v.name;
        EXPECT_EQ(v.ncols, 1) << v.name;
        EXPECT_EQ(v.imagf, 0) << v.name;
    }
    EXPECT_EQ(m.find("TEOAE_TOK")->i16(), 3);
    EXPECT_EQ(m.find("rate")->f32(), 25000.0f);
    EXPECT_EQ(m.find("npts")->i16(), 300);
    EXPECT_EQ(m.find("reps")->i16(), 200);
    EXPECT_EQ(last.err, "");
}

TEST_F(conv, samples_are_scaled_by_each_tokens_own_factor)
{
    tspec s = tsimple(5, 1000);
    int32_t num[] = {1000, 1, -7, 123456789, 5};
    int16_t den[] = {10, 3, 1, 32767, 0};
    for (int i = 0; i < 5; i++) {
        s.cars[i].scale_num = num[i];
        s.cars[i].scale_den = den[i];
    }
    s.cars[4].samples[0] = -32768;
    mfile m = one(s);
    ASSERT_TRUE(m.ok);
    for (int i = 0; i < 5; i++) {
        const mvar *v = m.find("tok" + std::to_string(i + 1));
        ASSERT_NE(v, nullptr);
        double scale = den[i] > 0 ? (double)num[i] / den[i] : 1.0;
        for (int j = 0; j < 1000; j++)
            ASSERT_EQ(v->bits(j), fbits(s.cars[i].samples[j] * scale)) << i << " " << j;
    }
    // x 100 is exact; a third is rounded once, from the double product.
    EXPECT_EQ(m.find("tok1")->f32(1), s.cars[0].samples[1] * 100.0f);
    EXPECT_EQ(m.find("tok5")->f32(0), -32768.0f);
    EXPECT_EQ(m.find("tok2")->f32(3), (float)(s.cars[1].samples[3] / 3.0));
}

TEST_F(conv, the_last_token_gives_reps_ppc_and_vpc)
{
    tspec s = tsimple(2, 10);
    s.cars[0].cal_cpv = 2e3f;
    s.cars[0].cal_vpp = 0.05f;
    s.cars[1].nswp = 50;
    s.cars[1].scale_num = 1000;
    s.cars[1].scale_den = 10;
    s.cars[1].cal_gain = 0.5f;
    s.cars[1].cal_cpv = 1000.0f; // not plausible: the bound is strict
    mfile m = one(s);
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.find("reps")->i16(), 100);
    EXPECT_EQ(m.find("ppc")->f32(), 0.25f);
    EXPECT_EQ(m.find("vpc")->bits(), fbits(1.0 / 3276.7));
}

TEST_F(conv, reps_wraps_at_16_bits)
{
    for (auto [nswp, reps] : std::vector<std::pair<int16_t, int16_t>>{
             {16384, -32768}, {16383, 32766}, {-1, -2}, {-32768, 0}, {0, 0}}) {
        tspec s = tsimple(1, 1);
        s.cars[0].nswp = nswp;
        EXPECT_EQ(one(s).find("reps")->i16(), reps) << nswp;
    }
}

TEST_F(conv, special_values_are_written_unchanged)
{
    tspec s = tsimple(1, 1);
    s.cars[0].cal_cpv = 0;
    s.cars[0].scale_num = 0; // infinite ppc
    mfile m = one(s);
    EXPECT_EQ(m.find("ppc")->bits(), 0x7f800000u);
    s.cars[0].cal_gain = 0; // 0 / 0
    m = one(s);
    EXPECT_TRUE(std::isnan(m.find("ppc")->f32()));
    EXPECT_EQ(m.find("vpc")->bits(), fbits(1.0 / 3276.7));
}

// A NaN's sign and payload depend on the processor that makes it (0 / 0 is
// negative on x86-64, positive on s390x), so every NaN is written as the
// one positive quiet NaN, and the MAT-file is the same on every host.
TEST_F(conv, every_nan_is_written_as_the_same_bits)
{
    for (uint32_t gain : {0u, 0xffc12345u, 0x7fc00001u, 0xff800001u}) {
        tspec s = tsimple(1, 1);
        s.cars[0].cal_cpv = 0;
        s.cars[0].scale_num = 0; // ppc = 1/3276.7 / (0 / (nswp x gain x 3276.7))
        s.cars[0].cal_gain = std::bit_cast<float>(gain);
        mfile m = one(s);
        ASSERT_TRUE(m.ok);
        EXPECT_EQ(m.find("ppc")->bits(), 0x7fc00000u) << std::hex << gain;
    }
}

TEST_F(conv, empty_and_longest_tokens)
{
    mfile m = one(tsimple(2, 0));
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.find("tok2")->mrows, 0);
    EXPECT_TRUE(m.find("tok2")->data.empty());

    tspec s = tsimple(2, 32767);
    m = one(s);
    ASSERT_TRUE(m.ok);
    const mvar *v = m.find("tok2");
    ASSERT_EQ(v->mrows, 32767);
    for (int j = 0; j < 32767; j++)
        ASSERT_EQ(v->f32(j), (float)s.cars[1].samples[j]) << j;
    EXPECT_EQ(last.err, "");
}

TEST_F(conv, a_file_without_tokens_repeats_the_last_figures)
{
    tspec a = tsimple(2, 10);
    a.cars[1].nswp = 7;
    a.cars[1].cal_cpv = 2e3f;
    a.cars[1].cal_vpp = 0.05f;
    tspec none = tsimple(0, 10);
    tspec neg = tsimple(0, 10);
    neg.ntok = -3;
    auto m = run({{"first", none}, {"a", a}, {"b", none}, {"c", neg}});
    EXPECT_EQ(m[0].find("reps")->i16(), 0);
    EXPECT_EQ(m[0].find("ppc")->f32(), 1.0f);
    EXPECT_EQ(m[0].find("vpc")->f32(), 1.0f);
    for (int k : {2, 3}) {
        ASSERT_TRUE(m[k].ok);
        EXPECT_EQ(m[k].vars.size(), 6u);
        EXPECT_EQ(m[k].find("reps")->i16(), 14) << k;
        EXPECT_EQ(m[k].find("ppc")->bits(), fbits(5e-4 / 0.05f)) << k;
        EXPECT_EQ(m[k].find("vpc")->bits(), fbits(1.0 / 2e3)) << k;
    }
    EXPECT_EQ(m[3].find("TEOAE_TOK")->i16(), -3);
}

TEST_F(conv, a_file_that_fails_leaves_the_figures_as_they_were)
{
    tspec a = tsimple(1, 10);
    a.cars[0].nswp = 7;
    tspec d = tsimple(1, 10);
    d.cars[0].nswp = 9;
    writefile(t / "a.cal", tbuild(a));
    writefile(t / "d.cal", tbuild(d));
    writefile(t / "b.cal", tbuild(tsimple(0, 10)));
    mkdir((t / "d.mat").c_str(), 0755);
    last = runprog(bin, {"a.cal", "d.cal", "b.cal"}, t.dir);
    EXPECT_EQ(last.err, "ravlox: can't write d.mat: Is a directory\n");
    EXPECT_EQ(matparse(readfile(t / "b.mat")).find("reps")->i16(), 14);
}

TEST_F(conv, missing_cars_give_zero_tokens)
{
    tspec s = tsimple(3, 100);
    s.ntok = 5; // two more tokens than cars
    s.cars[2].scale_num = 10;
    mfile m = one(s);
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.vars.size(), 3u + 5 + 3);
    // Token 4's car block lies where token 1's data is: the file holds it.
    // Token 5's car lies in token 2's data too; beyond the file nothing is.
    EXPECT_NE(last.err, "");
    tspec cut = tsimple(3, 100);
    std::vector<unsigned char> f = tbuild(cut);
    f.resize(3 * 512 + 150); // token 2's car is cut short
    writefile(t / "g.cal", f);
    last = runprog(bin, {"g.cal"}, t.dir);
    mfile g = matparse(readfile(t / "g.mat"));
    ASSERT_TRUE(g.ok);
    for (int j = 0; j < 100; j++) {
        ASSERT_EQ(g.find("tok2")->bits(j), 0u) << j;
        ASSERT_EQ(g.find("tok3")->bits(j), 0u) << j;
    }
    EXPECT_EQ(g.find("reps")->i16(), 0);
    EXPECT_EQ(g.find("vpc")->bits(), fbits(1.0 / 3276.7));
    EXPECT_EQ(last.err,
              "ravlox: warning: g.cal is incomplete or damaged; missing values were written as zeros\n");
}

} // namespace
