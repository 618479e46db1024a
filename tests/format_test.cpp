// SPDX-License-Identifier: MIT
// Record bytes, output names, the sampling rate and the calibration rules.
#include "support/matwritten.h"
#include "support/run.h"
#include "support/tokbuild.h"

#include "common/fileio.h"
#include "driver/driver.h"
#include "matout/convert.h"
#include "matout/matwr.h"

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

bytes le32s(std::initializer_list<int32_t> v)
{
    bytes b;
    for (int32_t x : v)
        for (int i = 0; i < 4; i++)
            b.push_back((unsigned char)((uint32_t)x >> (8 * i)));
    return b;
}

bytes cat(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(mat_wr, an_int16_scalar_is_27_bytes)
{
    int16_t v = -2;
    bytes got = written([&](matout *mo) { mat_wr(mo, "npts", &v, 1, 3); });
    bytes want = cat(le32s({30, 1, 1, 0, 5}), {'n', 'p', 't', 's', 0, 0xfe, 0xff});
    EXPECT_EQ(got, want);
}

TEST(mat_wr, singles_keep_their_bits)
{
    float v[4] = {1.0f, -0.0f, std::numeric_limits<float>::infinity(),
                  std::bit_cast<float>(0x7fc00001u)};
    bytes got = written([&](matout *mo) { mat_wr(mo, "tok1", v, 4, 1); });
    bytes want = cat(le32s({10, 4, 1, 0, 5}), {'t', 'o', 'k', '1', 0});
    want = cat(want, le32s({0x3f800000, INT32_MIN, 0x7f800000, 0x7fc00001}));
    EXPECT_EQ(got, want);
}

TEST(mat_wr, an_empty_column_has_no_data)
{
    bytes got = written([&](matout *mo) { mat_wr(mo, "tok12", nullptr, 0, 1); });
    EXPECT_EQ(got, cat(le32s({10, 0, 1, 0, 6}), {'t', 'o', 'k', '1', '2', 0}));
}

TEST(mat_wr, every_precision_and_name_length)
{
    double d = 0.5;
    int32_t i = -7;
    bytes got = written([&](matout *mo) {
        mat_wr(mo, "a", &d, 1, 0);
        mat_wr(mo, "TEOAE_TOK", &i, 1, 2);
    });
    bytes want = cat(le32s({0, 1, 1, 0, 2}), {'a', 0, 0, 0, 0, 0, 0, 0, 0xe0, 0x3f});
    want = cat(want, cat(le32s({20, 1, 1, 0, 10}), {'T', 'E', 'O', 'A', 'E', '_', 'T', 'O', 'K', 0}));
    want = cat(want, le32s({-7}));
    EXPECT_EQ(got, want);
}

TEST(mat_wr, records_larger_than_the_buffer_lie_end_to_end)
{
    std::vector<float> big(300000);
    for (size_t k = 0; k < big.size(); k++)
        big[k] = (float)k;
    int16_t s = 9;
    bytes got = written([&](matout *mo) {
        mat_wr(mo, "x", &s, 1, 3);
        mat_wr(mo, "big", big.data(), (int32_t)big.size(), 1);
        mat_wr(mo, "y", &s, 1, 3);
    });
    ASSERT_EQ(got.size(), 24u + 24 + 4 * big.size() + 24);
    for (size_t k = 0; k < big.size(); k += 9973) {
        uint32_t b = 0;
        for (int q = 0; q < 4; q++)
            b |= (uint32_t)got[24 + 24 + 4 * k + q] << (8 * q);
        EXPECT_EQ(std::bit_cast<float>(b), (float)k);
    }
    EXPECT_EQ(got.back(), 0);
    EXPECT_EQ(got[got.size() - 2], 9);
    EXPECT_EQ(got[got.size() - 3], 0) << "the name's NUL";
    EXPECT_EQ(got[got.size() - 4], 'y');
}

TEST(mat_wr, refuses_a_negative_count_and_an_unknown_precision)
{
    int16_t v = 1;
    int err = 0;
    bytes got = written([&](matout *mo) { mat_wr(mo, "tok1", &v, -5, 1); }, &err);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(err, EINVAL);
    got = written([&](matout *mo) { mat_wr(mo, "tok1", &v, 1, 4); }, &err);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(err, EINVAL);
}

TEST(mat_wr, reports_a_full_device)
{
    int fd = open("/dev/full", O_WRONLY);
    if (fd < 0)
        GTEST_SKIP() << "no /dev/full";
    int16_t v = 1;
    matout mo = {fd, 0, 0};
    mat_wr(&mo, "npts", &v, 1, 3);
    EXPECT_EQ(mat_flush(&mo), -1);
    EXPECT_EQ(mo.err, ENOSPC);
    close(fd);
}

TEST(newext, replaces_from_the_first_dot_of_the_file_name)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"subj1.cal", "subj1.mat"},
        {"subj1", "subj1.mat"},
        {"subj1.old.cal", "subj1.mat"},
        {"subj1.", "subj1.mat"},
        {"subj1.mat", "subj1.mat"},
        {"data.old/subj1.cal", "data.old/subj1.mat"},
        {"./subj1.cal", "./subj1.mat"},
        {"../x/subj1.cal", "../x/subj1.mat"},
        {"/a.b/c.d/e", "/a.b/c.d/e.mat"},
        {"a.b/", "a.b/.mat"},
        {"", ".mat"},
    };
    for (auto c : cases) {
        std::vector<char> buf(strlen(c.in) + 8, 'x');
        strcpy(buf.data(), c.in);
        newext(buf.data(), "mat");
        EXPECT_STREQ(buf.data(), c.out) << c.in;
    }
    std::string longname(400, 'd');
    longname += "/" + std::string(200, 'n') + ".tok.cal";
    std::vector<char> buf(longname.size() + 8);
    strcpy(buf.data(), longname.c_str());
    newext(buf.data(), "mat");
    EXPECT_EQ(std::string(buf.data()), longname.substr(0, longname.size() - 8) + ".mat");
}

TEST(calc_rate, truncates_and_saturates_to_the_lowest_value)
{
    struct {
        int16_t exp, man;
        int32_t rate;
    } cases[] = {
        {3, 25, 25000},       {0, 0, 0},           {-1, 5, 0},
        {-1, -5, 0},          {-1, 15, 1},         {-1, -15, -1},
        {4, 5, 50000},        {9, 2, 2000000000},  {9, 3, INT32_MIN},
        {9, -2, -2000000000}, {9, -3, INT32_MIN},  {0, 32767, 32767},
        {0, -32768, -32768},  {400, 1, INT32_MIN}, {400, 0, INT32_MIN},
        {-400, 7, 0},         {-32768, 1, 0},      {32767, 0, INT32_MIN},
    };
    for (auto c : cases)
        EXPECT_EQ(calc_rate(c.exp, c.man), c.rate) << c.exp << " " << c.man;
}

// The calibration rules, their strict bounds and the IEEE special values.
TEST(calibrate, rules_bounds_and_special_values)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // 1e-6 has no exact single: the nearest one lies just below it.
    const float below_1e6 = 1e-6f;
    const float above_1e6 = std::nextafter(below_1e6, 1.0f);
    ASSERT_LT((double)below_1e6, 1e-6);
    ASSERT_GT((double)above_1e6, 1e-6);
    const double dv = 1.0 / 3276.7;
    struct {
        const char *what;
        int16_t nswp;
        int32_t snum;
        int16_t sden;
        float gain, cpv, vpp;
        double vpc, ppc; // compared after rounding to single
    } cases[] = {
        {"stored", 50, 1000, 10, 0.5f, 2e3f, 0.05f, 5e-4, 0.01},
        {"stored, no scale", 50, 1000, 0, 0.5f, 2e3f, 0.05f, 5e-4, 0.01},
        {"stored, negative scale", 50, 1000, -3, 0.5f, 2e3f, 0.05f, 5e-4, 0.01},
        {"fallback with scale", 50, 1000, 10, 0.5f, 0, 0, dv, 0.25},
        {"cpv at 1000", 50, 1000, 10, 0.5f, 1000, 0.05f, dv, 0.25},
        {"cpv just above 1000", 1, 1, 1, 1, std::nextafter(1000.0f, 2000.0f), 1,
         1.0 / std::nextafter(1000.0f, 2000.0f), 1.0 / std::nextafter(1000.0f, 2000.0f)},
        {"cpv at 1e9", 50, 1000, 10, 0.5f, 1e9f, 0.05f, dv, 0.25},
        {"cpv just below 1e9", 1, 1, 1, 1, std::nextafter(1e9f, 0.0f), 1,
         1.0 / std::nextafter(1e9f, 0.0f), 1.0 / std::nextafter(1e9f, 0.0f)},
        {"vpp at 1e6", 50, 1000, 10, 0.5f, 2e3f, 1e6f, dv, 0.25},
        {"vpp just below 1e6", 1, 1, 1, 1, 2e3f, std::nextafter(1e6f, 0.0f), 5e-4,
         5e-4 / std::nextafter(1e6f, 0.0f)},
        {"vpp the single below 1e-6", 50, 1000, 10, 0.5f, 2e3f, below_1e6, dv, 0.25},
        {"vpp the single above 1e-6", 1, 1, 1, 1, 2e3f, above_1e6, 5e-4, 5e-4 / above_1e6},
        {"negative cpv", 50, 1000, 10, 0.5f, -2e3f, 0.05f, dv, 0.25},
        {"fallback without scale", 50, 1000, 0, 0.5f, 0, 0, dv, dv},
        {"fallback, negative scale", 50, 1000, -1, 0.5f, 0, 0, dv, dv},
        {"no sweeps", 0, 1000, 10, 0.5f, 0, 0, dv, 0.0},
        {"no gain", 50, 1000, 10, 0.0f, 0, 0, dv, 0.0},
        {"zero scale", 50, 0, 10, 0.5f, 0, 0, dv, (double)inf},
        {"zero scale, no gain", 50, 0, 10, 0.0f, 0, 0, dv, (double)nan},
        {"infinite gain", 50, 1000, 10, inf, 0, 0, dv, (double)inf},
        {"nan gain", 50, 1000, 10, nan, 0, 0, dv, (double)nan},
        {"nan cpv", 50, 1000, 10, 0.5f, nan, 0.05f, dv, 0.25},
        {"nan vpp", 50, 1000, 10, 0.5f, 2e3f, nan, dv, 0.25},
        {"infinite cpv", 50, 1000, 10, 0.5f, inf, 0.05f, dv, 0.25},
    };
    for (auto c : cases) {
        calib k = calibrate(c.nswp, c.snum, c.sden, c.gain, c.cpv, c.vpp);
        EXPECT_EQ(std::bit_cast<uint32_t>((float)k.vpc), std::bit_cast<uint32_t>((float)c.vpc))
            << c.what << ": vpc " << k.vpc;
        if (std::isnan(c.ppc))
            EXPECT_TRUE(std::isnan(k.ppc)) << c.what;
        else
            EXPECT_EQ(std::bit_cast<uint32_t>((float)k.ppc), std::bit_cast<uint32_t>((float)c.ppc))
                << c.what << ": ppc " << k.ppc;
    }
    EXPECT_EQ(calibrate(50, 1000, 10, 0.5f, 0, 0).ppc, 0.25) << "exactly a quarter";
    EXPECT_EQ(calibrate(1, 1, 0, 0, 0, 0).vpc, 0.0003051850947599719);
}

} // namespace
