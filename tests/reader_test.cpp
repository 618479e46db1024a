// SPDX-License-Identifier: MIT
// The TOKEN reader on files made by the builder: what it opens, where it
// reads each block from, and what it delivers where the file holds nothing.
#include "support/run.h"
#include "support/tokbuild.h"

#include "common/le.h"
#include "common/state.h"
#include "tokenfile/tokenfile.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct reader : ::testing::Test {
    scratch tmp;
    tfile *tf = nullptr;
    std::vector<int16_t> buf = std::vector<int16_t>(maxsamp, 0x5a5a);

    tfile *open(const std::vector<unsigned char> &bytes, const char *name = "t.cal")
    {
        if (tf)
            tclose(tf);
        writefile(tmp / name, bytes);
        tf = topen((tmp / name).c_str());
        return tf;
    }
    ~reader() override
    {
        if (tf)
            tclose(tf);
    }
};

bool allzero(const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i])
            return false;
    return true;
}

TEST_F(reader, opens_only_with_the_marker_whatever_the_type)
{
    struct {
        int16_t marker, ftype;
        bool opens;
    } cases[] = {
        {-32000, 11111, true}, {-32000, 0, true},  {-32000, 11112, true},
        {-31999, 11111, false}, {0, 11111, false}, {32000, 11111, false},
    };
    for (auto c : cases) {
        tspec s = tsimple(1, 10);
        s.marker = c.marker;
        s.ftype = c.ftype;
        EXPECT_EQ(open(tbuild(s)) != nullptr, c.opens) << c.marker << " " << c.ftype;
    }
}

TEST_F(reader, refuses_what_is_not_a_regular_file)
{
    EXPECT_EQ(topen((tmp / "missing.cal").c_str()), nullptr);
    EXPECT_EQ(topen(tmp.dir.c_str()), nullptr);
    EXPECT_EQ(topen(""), nullptr);
    EXPECT_EQ(open({}), nullptr) << "an empty file has no marker";
}

TEST_F(reader, loads_the_current_car_only_when_positive)
{
    for (int16_t cur : {-1, 0, 1, 2}) {
        tspec s = tsimple(2, 10);
        s.cur_car = cur;
        s.cars[0].nswp = 11;
        s.cars[1].nswp = 22;
        ASSERT_NE(open(tbuild(s)), nullptr);
        int16_t want = cur == 1 ? 11 : cur == 2 ? 22 : 0;
        EXPECT_EQ(rd16(tf->car + c_nswp), want) << "cur_car " << cur;
        if (cur <= 0) {
            EXPECT_TRUE(allzero(tf->car, carsz));
        }
        EXPECT_FALSE(tf->missing);
    }
}

TEST_F(reader, a_reused_handle_starts_from_zero)
{
    tspec s = tsimple(1, 10);
    s.cur_car = 1;
    ASSERT_NE(open(tbuild(s), "a.cal"), nullptr);
    ASSERT_NE(rd16(tf->car + c_nswp), 0);
    s.cur_car = 0;
    ASSERT_NE(open(tbuild(s), "b.cal"), nullptr);
    EXPECT_TRUE(allzero(tf->car, carsz));
    EXPECT_EQ(tf->cargot, 0);
}

TEST_F(reader, finds_hitch_and_cars_after_the_header_area)
{
    for (int16_t last : {0, 1, 5}) {
        tspec s = tsimple(3, 300);
        s.hdr_last = last;
        for (int t = 0; t < 3; t++)
            s.cars[t].scale_num = 0x12345600 + t;
        ASSERT_NE(open(tbuild(s)), nullptr);
        EXPECT_EQ(rd16(tf->hitch + x_ntok), 3);
        EXPECT_EQ(rd16(tf->hitch + x_npts), 300);
        for (int n = 3; n >= 1; n--) {
            EXPECT_EQ(tread(buf.data(), n, tf), 2 * 512);
            EXPECT_EQ(rd32(tf->car + c_scale_num), 0x12345600 + n - 1);
            EXPECT_EQ(rd32(tf->car + c_dblk), tdatablk(s, n));
            for (int j = 0; j < 300; j++)
                ASSERT_EQ(buf[j], s.cars[n - 1].samples[j]) << "token " << n << " sample " << j;
        }
        EXPECT_FALSE(tf->missing);
    }
}

TEST_F(reader, reads_whole_blocks_for_the_token_length)
{
    struct {
        int16_t npts;
        int32_t blocks;
    } cases[] = {{1, 1}, {255, 1}, {256, 1}, {257, 2}, {8192, 32}, {8193, 33}, {32767, 128}};
    for (auto c : cases) {
        tspec s = tsimple(2, c.npts);
        // Fill the unused tail of the last block too: it is read, not used.
        for (tcar &car : s.cars) {
            car.samples.resize((size_t)c.blocks * 256);
            car.samples.back() = 1234;
        }
        ASSERT_NE(open(tbuild(s)), nullptr);
        for (int n : {2, 1}) {
            buf.assign(maxsamp, 0x5a5a);
            EXPECT_EQ(tread(buf.data(), n, tf), c.blocks * 512) << c.npts;
            EXPECT_EQ(buf[(size_t)c.blocks * 256 - 1], 1234) << c.npts;
            EXPECT_EQ(buf[0], s.cars[n - 1].samples[0]);
            EXPECT_EQ(buf[c.npts - 1], s.cars[n - 1].samples[c.npts - 1]);
            if (c.blocks < 128) {
                EXPECT_EQ(buf[(size_t)c.blocks * 256], 0x5a5a) << "read past the token";
            }
        }
    }
}

TEST_F(reader, reads_no_data_for_an_empty_token)
{
    tspec s = tsimple(1, 0);
    ASSERT_NE(open(tbuild(s)), nullptr);
    EXPECT_EQ(tread(buf.data(), 1, tf), 0);
    EXPECT_EQ(buf[0], 0x5a5a);
}

TEST_F(reader, tread_of_no_token_changes_nothing)
{
    tspec s = tsimple(1, 10);
    s.cur_car = 1;
    ASSERT_NE(open(tbuild(s)), nullptr);
    std::vector<unsigned char> car(tf->car, tf->car + carsz);
    for (int n : {0, -1, -40000}) {
        EXPECT_EQ(tread(buf.data(), n, tf), -1);
        EXPECT_EQ(std::vector<unsigned char>(tf->car, tf->car + carsz), car);
        EXPECT_EQ(buf[0], 0x5a5a);
    }
}

// Tokens read in any order, across window boundaries, give their own data.
TEST_F(reader, tokens_in_any_order_and_place)
{
    tspec s = tsimple(40, 4000);
    // Point token 5 far behind the others and token 6 at token 1's data.
    int32_t end = tdatablk(s, 41);
    std::vector<unsigned char> f = tbuild(s);
    f.resize((size_t)(end + 3000) * 512, 0);
    for (int j = 0; j < 4000; j++)
        put16(f, (size_t)(end + 2990) * 512 + 2 * j, (int16_t)(7 * j));
    put32(f, 512 * (2 + 4) + 2, end + 2990);
    put32(f, 512 * (2 + 5) + 2, tdatablk(s, 1));
    ASSERT_NE(open(f), nullptr);
    for (int n : {40, 5, 1, 6, 39, 20, 21, 2, 5}) {
        tread(buf.data(), n, tf);
        for (int j = 0; j < 4000; j++) {
            int16_t want = n == 5 ? (int16_t)(7 * j) : s.cars[n == 6 ? 0 : n - 1].samples[j];
            ASSERT_EQ(buf[j], want) << "token " << n << " sample " << j;
        }
    }
    EXPECT_FALSE(tf->missing);
}

// Where the file holds nothing, the reader delivers zeros and says so.
TEST_F(reader, what_the_file_lacks_reads_as_zeros)
{
    tspec s = tsimple(2, 600);
    std::vector<unsigned char> full = tbuild(s);
    size_t car2 = 3 * 512, data2 = (size_t)tdatablk(s, 2) * 512;
    struct {
        const char *what;
        size_t cut;        // file length
        bool car_whole;    // token 2's car is all there
        size_t samples;    // token 2's samples that are there
    } cases[] = {
        {"whole", full.size(), true, 600},
        {"inside the last data block", data2 + 1000, true, 500},
        {"at a data block boundary", data2 + 512, true, 256},
        {"before token 2's data", data2, true, 0},
        {"inside token 2's car, past its fields", car2 + 300, true, 0},
        {"inside token 2's car", car2 + 100, false, 0},
    };
    for (auto c : cases) {
        std::vector<unsigned char> f(full.begin(), full.begin() + (long)c.cut);
        ASSERT_NE(open(f), nullptr) << c.what;
        EXPECT_FALSE(tf->missing) << c.what;
        tread(buf.data(), 2, tf);
        EXPECT_EQ(tf->cargot == carsz, c.car_whole) << c.what;
        for (size_t j = 0; j < 600; j++)
            ASSERT_EQ(buf[j], j < c.samples ? s.cars[1].samples[j] : 0) << c.what << " " << j;
        EXPECT_EQ(tf->missing, c.samples < 600) << c.what;
        if (!c.car_whole) {
            EXPECT_TRUE(allzero(tf->car + 100, carsz - 100)) << c.what;
        }
    }
}

TEST_F(reader, positions_outside_the_file_read_as_zeros)
{
    struct {
        const char *what;
        int16_t hdr_last;
        int32_t dblk;
    } cases[] = {
        {"negative data block", 0, -1},
        {"data block past 2^31 bytes", 0, 1 << 22},
        {"data block far out", 0, INT32_MAX},
        {"data block past the end", 0, 100},
    };
    for (auto c : cases) {
        tspec s = tsimple(1, 10);
        s.hdr_last = c.hdr_last;
        std::vector<unsigned char> f = tbuild(s);
        put32(f, 2 * 512 + 2, c.dblk);
        ASSERT_NE(open(f), nullptr) << c.what;
        buf.assign(maxsamp, 0x5a5a);
        EXPECT_EQ(tread(buf.data(), 1, tf), 0) << c.what;
        EXPECT_EQ(buf[0], 0) << c.what;
        EXPECT_EQ(buf[255], 0) << c.what;
        EXPECT_TRUE(tf->missing) << c.what;
    }
}

TEST_F(reader, a_header_area_out_of_range_gives_an_empty_hitch)
{
    for (int16_t last : {-2, -100, -32768, 32767}) {
        tspec s = tsimple(1, 10);
        std::vector<unsigned char> f = tbuild(s);
        put16(f, 10, last);
        ASSERT_NE(open(f), nullptr) << last;
        EXPECT_TRUE(allzero(tf->hitch, hitchsz)) << last;
        EXPECT_TRUE(tf->missing) << last;
        if (last != -2) { // with -2, car 1 would be block 0, the header
            tread(buf.data(), 1, tf);
            EXPECT_TRUE(allzero(tf->car, carsz)) << last;
        }
    }
}

TEST_F(reader, a_current_car_past_the_end_is_no_loss)
{
    tspec s = tsimple(1, 10);
    s.cur_car = 500;
    ASSERT_NE(open(tbuild(s)), nullptr);
    EXPECT_FALSE(tf->missing);
    EXPECT_TRUE(allzero(tf->car, carsz));
}

} // namespace
