// SPDX-License-Identifier: MIT
// Batch conversion over existing outputs, and the scaling of samples: the
// places where the converter takes a shorter road for speed and must still
// give the bytes and the files of the plain one.
//
// An existing output is replaced by a new file renamed over it. These tests
// check that every output equals a conversion into an empty folder, that
// nothing of an old file shows through, that permissions stay with their
// names, and that an old output which can still be seen (under a second
// name, or through a descriptor another program holds) is left as it was.
#include "support/matread.h"
#include "support/matwritten.h"
#include "support/run.h"
#include "support/tokbuild.h"

#include "common/le.h"
#include "matout/matwr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string bin = ravlox_bin();
using bytes = std::vector<unsigned char>;

uint32_t fbits(double v) { return std::bit_cast<uint32_t>((float)v); }

// The MAT-file that converting desc into an empty folder gives.
bytes fresh(const tspec &desc)
{
    scratch t;
    writefile(t / "f.cal", tbuild(desc));
    runprog(bin, {"f.cal"}, t.dir);
    return readfile(t / "f.mat");
}

// A record filled in place through mat_room is byte for byte the one
// mat_wr writes, wherever in the buffer it falls, and the 7 values of room
// past it never reach the file.
TEST(mat_room, gives_the_bytes_of_mat_wr)
{
    if (!host_le) {
        // A big-endian host turns every element around: no room is given.
        bytes got = written([&](matout *mo) { EXPECT_EQ(mat_room(mo, "tok1", 1), nullptr); });
        EXPECT_TRUE(got.empty());
        return;
    }
    std::vector<float> fill(matbufsz / 4);
    for (size_t k = 0; k < fill.size(); k++)
        fill[k] = (float)k * 0.5f - 3.0f;
    int16_t s = 7;
    // Lengths of a first record ("a": 22 bytes of head) that leave the
    // buffer with just the room the second needs, one single less, or far
    // less.
    int32_t second = 1000;
    int32_t need = 20 + 5 + 4 * (second + 7);
    int32_t fits = (matbufsz - 22 - need) / 4;
    for (int32_t first : {0, 1, fits - 1, fits, fits + 1, (int32_t)fill.size() - 12}) {
        bytes plain = written([&](matout *mo) {
            mat_wr(mo, "a", fill.data(), first, 1);
            mat_wr(mo, "tok1", fill.data() + 3, second, 1);
            mat_wr(mo, "n", &s, 1, 3);
        });
        bytes room = written([&](matout *mo) {
            mat_wr(mo, "a", fill.data(), first, 1);
            unsigned char *p = mat_room(mo, "tok1", second);
            ASSERT_NE(p, nullptr) << first;
            memcpy(p, fill.data() + 3, 4 * (size_t)second);
            memset(p + 4 * second, 0xab, 28);
            mat_wr(mo, "n", &s, 1, 3);
        });
        EXPECT_EQ(room, plain) << "first record of " << first << " singles";
    }
    // What does not fit in the buffer at once, or is no count, is refused
    // and leaves nothing behind.
    bytes got = written([&](matout *mo) {
        EXPECT_EQ(mat_room(mo, "big", (int32_t)fill.size()), nullptr);
        EXPECT_EQ(mat_room(mo, "neg", -1), nullptr);
        mat_wr(mo, "n", &s, 1, 3);
    });
    EXPECT_EQ(got.size(), 20u + 2 + 2);
}

// Scales where a single multiply and the double product rounded to single
// might part: scales that are singles with products that need rounding,
// scales one step past what a single holds, and scales that are no single.
TEST(scaling, every_scale_gives_the_double_product_rounded_once)
{
    struct {
        int32_t num;
        int16_t den;
    } cases[] = {
        {16777215, 1},     // 2^24 - 1: a single, products of up to 40 bits
        {16777215, 16384}, // the same over a power of two
        {-16777213, 8},
        {8388609, 1},      // 2^23 + 1
        {16777217, 1},     // 2^24 + 1: no single
        {33554434, 2},     // the same, reached by the division
        {2147483647, 1},
        {1, 3},
        {-2, 7},
        {3, 4},
        {1, 1},
    };
    const int n = (int)(sizeof cases / sizeof cases[0]);
    // 1001 samples: not a whole number of groups of eight.
    tspec s = tsimple(n, 1001);
    for (int i = 0; i < n; i++) {
        s.cars[i].scale_num = cases[i].num;
        s.cars[i].scale_den = cases[i].den;
        s.cars[i].samples[0] = -32768;
        s.cars[i].samples[1] = 32767;
        s.cars[i].samples[2] = -1;
        s.cars[i].samples[1000] = 32767;
    }
    scratch t;
    writefile(t / "f.cal", tbuild(s));
    runres r = runprog(bin, {"f.cal"}, t.dir);
    ASSERT_EQ(r.err, "");
    mfile m = matparse(readfile(t / "f.mat"));
    ASSERT_TRUE(m.ok);
    for (int i = 0; i < n; i++) {
        const mvar *v = m.find("tok" + std::to_string(i + 1));
        ASSERT_NE(v, nullptr);
        ASSERT_EQ(v->mrows, 1001);
        double scale = (double)cases[i].num / cases[i].den;
        for (int j = 0; j < 1001; j++)
            ASSERT_EQ(v->bits(j), fbits(s.cars[i].samples[j] * scale))
                << cases[i].num << "/" << cases[i].den << " sample " << j;
    }
    // 32767 x (2^24 - 1) needs 40 bits: rounded, not cut.
    EXPECT_EQ(m.find("tok1")->f32(1), (float)(32767.0 * 16777215.0));
    EXPECT_NE((double)m.find("tok1")->f32(1), 32767.0 * 16777215.0);
}

struct batch : ::testing::Test {
    scratch t;
    std::vector<std::pair<std::string, tspec>> files;

    void SetUp() override
    {
        // Outputs of different sizes, so that each one replaces an old output
        // longer or shorter than itself.
        files = {{"a", tsimple(3, 100)},
                 {"b", tsimple(1, 2000)},
                 {"c", tsimple(5, 10)},
                 {"d", tsimple(2, 300)},
                 {"e", tsimple(1, 8)}};
        files[1].second.cars[0].scale_num = 7;
        for (auto &[name, desc] : files)
            writefile(t / (name + ".cal"), tbuild(desc));
    }

    runres convert(const std::vector<std::string> &order)
    {
        std::vector<std::string> args;
        for (const std::string &n : order)
            args.push_back(n + ".cal");
        return runprog(bin, args, t.dir);
    }

    void expect_fresh(const char *when)
    {
        for (auto &[name, desc] : files)
            EXPECT_EQ(readfile(t / (name + ".mat")), fresh(desc)) << name << " " << when;
    }
};

TEST_F(batch, outputs_written_over_old_ones_equal_fresh_ones)
{
    writefile(t / "a.mat", bytes(300000, 0xee));
    chmod((t / "a.mat").c_str(), 0640);
    writefile(t / "b.mat", bytes(10, 0xee));
    chmod((t / "b.mat").c_str(), 0620);
    writefile(t / "c.mat", bytes(4000, 0xee));
    chmod((t / "c.mat").c_str(), 0644);
    writefile(t / "e.mat", bytes(70000, 0xee));
    chmod((t / "e.mat").c_str(), 0604);
    runres r = convert({"a", "b", "c", "d", "e"});
    EXPECT_EQ(r.err, "");
    expect_fresh("first run");
    EXPECT_EQ(modeof(t / "a.mat"), 0640u);
    EXPECT_EQ(modeof(t / "b.mat"), 0620u);
    EXPECT_EQ(modeof(t / "c.mat"), 0644u);
    EXPECT_EQ(modeof(t / "d.mat"), 0600u) << "a new output is its owner's alone";
    EXPECT_EQ(modeof(t / "e.mat"), 0604u);

    // Again, every output existing, in another order.
    r = convert({"e", "c", "a", "d", "b", "c"});
    EXPECT_EQ(r.err, "");
    expect_fresh("second run");
    EXPECT_EQ(modeof(t / "a.mat"), 0640u);
    EXPECT_EQ(modeof(t / "b.mat"), 0620u);
    EXPECT_EQ(modeof(t / "d.mat"), 0600u);
    EXPECT_EQ(modeof(t / "e.mat"), 0604u);
    EXPECT_EQ(listing(t.dir), (std::vector<std::string>{"a.cal", "a.mat", "b.cal", "b.mat", "c.cal",
                                                      "c.mat", "d.cal", "d.mat", "e.cal", "e.mat"}));
}

TEST_F(batch, an_old_output_with_a_second_name_is_left_as_it_was)
{
    bytes old(5000, 0x5a);
    writefile(t / "a.mat", old);
    link((t / "a.mat").c_str(), (t / "keep.mat").c_str());
    writefile(t / "b.mat", bytes(10, 0xee));
    writefile(t / "c.mat", bytes(10, 0xee));
    runres r = convert({"a", "b", "c"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readfile(t / "keep.mat"), old);
    for (const char *n : {"a", "b", "c"})
        EXPECT_EQ(readfile(t / (std::string(n) + ".mat")), fresh(files[n[0] - 'a'].second)) << n;
    EXPECT_EQ(listing(t.dir), (std::vector<std::string>{"a.cal", "a.mat", "b.cal", "b.mat", "c.cal",
                                                      "c.mat", "d.cal", "e.cal", "keep.mat"}));
}

TEST_F(batch, an_old_output_another_program_holds_open_is_left_as_it_was)
{
    bytes old(5000, 0x5a);
    writefile(t / "a.mat", old);
    writefile(t / "b.mat", bytes(10, 0xee));
    writefile(t / "c.mat", bytes(10, 0xee));
    int held = open((t / "a.mat").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    runres r = convert({"a", "b", "c"});
    EXPECT_EQ(r.err, "");
    bytes seen(old.size() + 1);
    ssize_t n = pread(held, seen.data(), seen.size(), 0);
    close(held);
    seen.resize(n > 0 ? (size_t)n : 0);
    EXPECT_EQ(seen, old) << "the reader of the old a.mat saw it change";
    for (const char *f : {"a", "b", "c"})
        EXPECT_EQ(readfile(t / (std::string(f) + ".mat")), fresh(files[f[0] - 'a'].second)) << f;
    EXPECT_EQ(listing(t.dir), (std::vector<std::string>{"a.cal", "a.mat", "b.cal", "b.mat", "c.cal",
                                                      "c.mat", "d.cal", "e.cal"}));
}

TEST(batch_folders, outputs_in_several_folders)
{
    scratch t;
    mkdir((t / "p").c_str(), 0755);
    mkdir((t / "q").c_str(), 0755);
    tspec x = tsimple(2, 100), y = tsimple(3, 50);
    for (std::string d : {"p/", "q/"}) {
        writefile(t / (d + "x.cal"), tbuild(x));
        writefile(t / (d + "y.cal"), tbuild(y));
        writefile(t / (d + "x.mat"), bytes(20000, 0xee));
        writefile(t / (d + "y.mat"), bytes(20, 0xee));
    }
    runres r = runprog(bin, {"p/x.cal", "q/x.cal", "q/y.cal", "p/y.cal", "./p/x.cal"}, t.dir);
    EXPECT_EQ(r.err, "");
    for (std::string d : {"p", "q"}) {
        EXPECT_EQ(readfile(t / (d + "/x.mat")), fresh(x)) << d;
        EXPECT_EQ(readfile(t / (d + "/y.mat")), fresh(y)) << d;
        EXPECT_EQ(listing(t / d), (std::vector<std::string>{"x.cal", "x.mat", "y.cal", "y.mat"}));
    }
}

TEST(batch_full, a_full_disk_while_writing_over_an_old_output)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    scratch t;
    std::string mnt = t / "small";
    mkdir(mnt.c_str(), 0755);
    std::string cmd = "mount -t tmpfs -o size=512k tmpfs '" + mnt + "' 2>/dev/null";
    if (system(cmd.c_str()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    // Outputs on a small file system and outside it, in turn; huge.mat
    // (about 1 MiB, more than the small file system holds) fails and leaves
    // its old file; a comes again after the failure.
    tspec a = tsimple(1, 10), c = tsimple(2, 20);
    writefile(t / "x.cal", tbuild(a));
    writefile(t / "x.mat", bytes(1000, 0xee));
    writefile(mnt + "/a.cal", tbuild(a));
    writefile(mnt + "/a.mat", bytes(1000, 0xee));
    writefile(t / "huge.cal", tbuild(tsimple(8, 32767)));
    symlink((t / "huge.cal").c_str(), (mnt + "/huge.cal").c_str());
    bytes oldhuge(100, 0x77);
    writefile(mnt + "/huge.mat", oldhuge);
    writefile(mnt + "/c.cal", tbuild(c));
    writefile(mnt + "/c.mat", bytes(10, 0xee));
    runres r = runprog(bin, {"small/a.cal", "x.cal", "small/c.cal", "small/huge.cal", "small/a.cal"},
                       t.dir);
    EXPECT_EQ(r.err, "ravlox: can't write small/huge.mat: No space left on device\n");
    EXPECT_EQ(readfile(mnt + "/huge.mat"), oldhuge);
    EXPECT_EQ(readfile(t / "x.mat"), fresh(a));
    EXPECT_EQ(readfile(mnt + "/a.mat"), fresh(a));
    EXPECT_EQ(readfile(mnt + "/c.mat"), fresh(c));
    EXPECT_EQ(listing(mnt), (std::vector<std::string>{"a.cal", "a.mat", "c.cal", "c.mat", "huge.cal",
                                                    "huge.mat"}));
    std::string um = "umount '" + mnt + "'";
    EXPECT_EQ(system(um.c_str()), 0);
}

} // namespace
