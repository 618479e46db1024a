// SPDX-License-Identifier: MIT
// Damaged files and hostile surroundings, as a user meets them: files cut
// anywhere, counts and positions that point outside the file, outputs that
// can't be written or that name something else, a disk that fills up. Each
// test checks the lines, the error stream, the inputs and the MAT-files
// left behind; what the MAT-files must hold comes from support/tokmodel,
// which works it out from the input bytes alone.
#include "support/matread.h"
#include "support/run.h"
#include "support/tokbuild.h"
#include "support/tokmodel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string bin = ravlox_bin();
using bytes = std::vector<unsigned char>;

// The output name of an argument: up to the first "." of its last
// component, then ".mat".
std::string outname(const std::string &arg)
{
    size_t base = arg.rfind('/');
    base = base == std::string::npos ? 0 : base + 1;
    size_t dot = arg.find('.', base);
    return arg.substr(0, dot) + ".mat";
}

// A three-token file with a header area of two blocks, tokens of two data
// blocks each, and each token calibrated its own way.
tspec sample()
{
    tspec s = tsimple(3, 300);
    s.hdr_last = 1;
    s.cur_car = 2;
    s.cars[0].cal_cpv = 2e3f;
    s.cars[1].cal_cpv = 0;
    s.cars[1].scale_num = 5;
    s.cars[1].scale_den = 2;
    s.cars[1].nswp = 40;
    s.cars[1].cal_gain = 0.5f;
    s.cars[2].cal_cpv = 0;
    s.cars[2].scale_den = 0;
    return s;
}

struct fault : ::testing::Test {
    scratch t;
    std::map<std::string, bytes> inputs;
    runres last;

    void put(const std::string &name, const bytes &b)
    {
        ASSERT_TRUE(writefile(t / name, b)) << name;
        inputs[name] = b;
    }

    // Every input is as it was written.
    void inputs_unchanged()
    {
        for (auto &[name, b] : inputs)
            EXPECT_EQ(readfile(t / name), b) << name << " changed";
    }

    // Runs ravlox on args (inputs put before) in the scratch folder and
    // checks the run against the model: the exit status, every line in
    // order, the warnings in order, the inputs, each MAT-file (the last
    // file of the run that names it stands), and that the folder holds
    // nothing else.
    void check(const std::vector<std::string> &args,
               const std::map<std::string, std::string> &also = {})
    {
        last = runprog(bin, args, t.dir);
        EXPECT_EQ(last.status, 0);
        tcarry carry;
        std::string out, err;
        std::map<std::string, bytes> mats;
        for (const std::string &a : args) {
            texpect e = texpected(inputs.at(a), a, carry);
            out += e.line;
            err += e.errline;
            if (auto it = also.find(a); it != also.end())
                err += it->second;
            if (e.converts)
                mats[outname(a)] = e.mat;
        }
        EXPECT_EQ(last.out, out + "\n");
        EXPECT_EQ(last.err, err);
        inputs_unchanged();
        std::vector<std::string> names;
        for (auto &[name, b] : inputs)
            names.push_back(name);
        for (auto &[name, m] : mats) {
            bytes got = readfile(t / name);
            EXPECT_TRUE(matparse(got).ok) << name;
            EXPECT_TRUE(got == m) << name << ": " << got.size() << " bytes, expected "
                                  << m.size();
            names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
        EXPECT_EQ(listing(t.dir), names);
    }

    // Puts each variant of a file as NAME.cal and checks one run over all.
    void check_all(const std::vector<std::pair<std::string, bytes>> &files)
    {
        std::vector<std::string> args;
        for (auto &[name, b] : files) {
            put(name + ".cal", b);
            args.push_back(name + ".cal");
        }
        check(args);
    }
};

TEST_F(fault, the_model_agrees_on_a_sound_file)
{
    bytes f = tbuild(sample());
    tcarry carry;
    texpect e = texpected(f, "f.cal", carry);
    EXPECT_EQ(e.line, "File f.cal: ntok=3, size=300, rate=25000\n");
    EXPECT_FALSE(e.warns);
    mfile m = matparse(e.mat);
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.vars.size(), 9u);
    EXPECT_EQ(m.find("tok1")->f32(7), (float)sample().cars[0].samples[7]);
    EXPECT_EQ(m.find("tok2")->f32(7), (float)(sample().cars[1].samples[7] * 2.5));
    EXPECT_EQ(m.find("reps")->i16(), 200);
    put("f.cal", f);
    check({"f.cal"});
    EXPECT_EQ(last.err, "");
}

// The file cut at every block boundary, and at many places inside every
// block: in the header before and after each field, in the hitch, in each
// car before, inside and after its fields, and in the data.
TEST_F(fault, a_file_cut_anywhere)
{
    bytes full = tbuild(sample());
    ASSERT_EQ(full.size(), 12u * 512);
    std::vector<std::pair<std::string, bytes>> files;
    for (size_t blk = 0; blk <= full.size() / 512; blk++)
        for (size_t in : {0, 1, 2, 4, 7, 11, 125, 127, 128, 133, 134, 201, 202, 203, 226, 300, 511}) {
            size_t len = blk * 512 + in;
            if (len > full.size() || (in && len == full.size()))
                continue;
            char name[32];
            snprintf(name, sizeof name, "cut%05zu", len);
            files.push_back({name, bytes(full.begin(), full.begin() + (long)len)});
        }
    check_all(files);
    // Spot checks of what the model said: a file cut inside its header
    // can't be opened; cut within its data, it converts with a warning.
    EXPECT_NE(last.out.find("File cut00125.cal: Can't open the file\n"), std::string::npos);
    EXPECT_NE(last.out.find("File cut04908.cal: ntok=3, size=300, rate=25000\n"), std::string::npos);
    EXPECT_NE(last.err.find(twarning("cut04908.cal")), std::string::npos);
    EXPECT_EQ(last.err.find("cut06144"), std::string::npos);
}

TEST_F(fault, more_tokens_than_cars)
{
    tspec s = sample();
    s.ntok = 40; // the cars of tokens 4 to 9 lie in the data, the rest past the end
    tspec nodata = tsimple(2, 0);
    nodata.ntok = 32767; // every car but two past the end
    tspec one = tsimple(1, 10);
    one.ntok = 2;
    check_all({{"forty", tbuild(s)}, {"most", tbuild(nodata)}, {"one", tbuild(one)}});
    mfile m = matparse(readfile(t / "most.mat"));
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.vars.size(), 3u + 32767 + 3);
    EXPECT_EQ(last.err, twarning("forty.cal") + twarning("most.cal") + twarning("one.cal"));
}

TEST_F(fault, data_blocks_before_the_start_or_past_the_end)
{
    bytes full = tbuild(sample());
    int32_t nblk = (int32_t)(full.size() / 512);
    std::vector<std::pair<std::string, bytes>> files;
    struct {
        const char *name;
        int32_t dblk;
    } cases[] = {
        {"minus1", -1},          {"minus2g", INT32_MIN},       {"minus-far", -(1 << 30)},
        {"header", 0},           {"hitch", 2},                  {"own-car", 4},
        {"last-block", nblk - 1}, {"at-end", nblk},             {"past-end", nblk + 1000},
        {"last-offset", (1 << 22) - 1}, {"past-2g", 1 << 22},    {"highest", INT32_MAX},
    };
    for (auto c : cases) {
        bytes f = full;
        put32(f, 4 * 512 + 2, c.dblk); // token 2's car
        files.push_back({c.name, f});
    }
    check_all(files);
    // Token 2 lies in the file only where its blocks are in it.
    mfile hdr = matparse(readfile(t / "header.mat"));
    ASSERT_TRUE(hdr.ok);
    EXPECT_EQ(hdr.find("tok2")->f32(62), -32000 * 2.5f) << "the marker, scaled";
    EXPECT_EQ(last.err.find("header.cal"), std::string::npos);
    EXPECT_NE(last.err.find(twarning("last-block.cal")), std::string::npos);
}

// A file larger than the reader's windows, its tokens laid out of order
// (some sharing data, some straddling where a window would end), whole and
// cut short in the middle of its data.
TEST_F(fault, a_large_file_read_out_of_order)
{
    tspec s = tsimple(150, 1000); // 150 cars (75 KiB), 600 data blocks (300 KiB)
    bytes f = tbuild(s);
    int32_t first = tdatablk(s, 1);
    for (int i = 1; i <= 150; i++) {
        int32_t dblk = i % 3 == 0 ? tdatablk(s, 151 - i) : i % 3 == 1 ? first + 4 * i : 200 + i;
        put32(f, (size_t)(1 + i) * 512 + 2, dblk);
    }
    bytes cut(f.begin(), f.begin() + (long)(f.size() / 2 + 1000));
    check_all({{"whole", f}, {"cut", cut}});
    EXPECT_EQ(last.err, twarning("cut.cal"));
}

TEST_F(fault, a_header_area_far_out_of_range)
{
    std::vector<std::pair<std::string, bytes>> files;
    for (int16_t hdr_last : {-32768, -1000, -2, -1, 3, 11, 12, 1000, 32767}) {
        bytes f = tbuild(sample());
        put16(f, 10, hdr_last);
        // With a hitch at block 0, these header bytes are its counts.
        put16(f, 0, 2);
        put16(f, 2, 20);
        files.push_back({"last" + std::to_string(hdr_last), f});
    }
    check_all(files);
}

TEST_F(fault, an_output_that_is_a_folder)
{
    put("d.cal", tbuild(sample()));
    put("e.cal", tbuild(tsimple(1, 10)));
    mkdir((t / "d.mat").c_str(), 0755);
    writefile(t / "d.mat/keep", {1, 2, 3});
    last = runprog(bin, {"d.cal", "e.cal"}, t.dir);
    EXPECT_EQ(last.status, 0);
    tcarry carry;
    texpect d = texpected(inputs["d.cal"], "d.cal", carry);
    tcarry fresh; // d.cal's figures do not carry: its conversion failed
    texpect e = texpected(inputs["e.cal"], "e.cal", fresh);
    EXPECT_EQ(last.out, d.line + e.line + "\n");
    EXPECT_EQ(last.err, "ravlox: can't write d.mat: Is a directory\n");
    inputs_unchanged();
    EXPECT_EQ(listing(t / "d.mat"), std::vector<std::string>{"keep"});
    EXPECT_EQ(readfile(t / "e.mat"), e.mat);
    EXPECT_EQ(listing(t.dir), (std::vector<std::string>{"d.cal", "d.mat", "e.cal", "e.mat"}));
}

// A file name with no room for the extension: the output's name would be
// longer than a folder entry can be.
TEST_F(fault, an_output_name_too_long)
{
    std::string name(253, 'n');
    put(name, tbuild(tsimple(1, 10)));
    put("ok.cal", tbuild(tsimple(1, 10)));
    last = runprog(bin, {name, "ok.cal"}, t.dir);
    EXPECT_EQ(last.status, 0);
    tcarry carry;
    EXPECT_EQ(last.out, texpected(inputs[name], name, carry).line +
                            texpected(inputs["ok.cal"], "ok.cal", carry).line + "\n");
    EXPECT_EQ(last.err, "ravlox: can't write " + name + ".mat: File name too long\n");
    inputs_unchanged();
    EXPECT_EQ(listing(t.dir), (std::vector<std::string>{name, "ok.cal", "ok.mat"}));
}

// An output name that is a link to another file: the link gives way to the
// MAT-file, and the file it pointed to is not touched. (A link to the input
// itself is refused; the command-line tests cover that.)
TEST_F(fault, an_output_that_is_a_link_elsewhere)
{
    put("a.cal", tbuild(tsimple(2, 20)));
    put("other", {9, 9, 9});
    symlink("other", (t / "a.mat").c_str());
    check({"a.cal"});
    struct stat st;
    ASSERT_EQ(lstat((t / "a.mat").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(fault, the_same_output_twice_in_a_run)
{
    tspec later = tsimple(1, 10);
    later.cars[0].nswp = 3;
    put("x.cal", tbuild(sample()));
    put("x.old", tbuild(later));
    put("x.bad", bytes(600, 7)); // rejected: leaves x.mat as it is
    put("y.cal", tbuild(tsimple(0, 10)));
    put("y.mat.cal", tbuild(sample()));
    // Each later file that replaces an output of this run is named on the
    // error stream with the earlier one.
    check({"x.cal", "x.old", "x.bad", "y.cal", "y.mat.cal"},
          {{"x.old", "ravlox: warning: x.mat written from x.cal in this run is replaced by the "
                     "one from x.old\n"},
           {"y.mat.cal", "ravlox: warning: y.mat written from y.cal in this run is replaced by "
                         "the one from y.mat.cal\n"}});
    mfile m = matparse(readfile(t / "x.mat"));
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.find("TEOAE_TOK")->i16(), 1);
    EXPECT_EQ(m.find("reps")->i16(), 6);
    EXPECT_EQ(matparse(readfile(t / "y.mat")).find("TEOAE_TOK")->i16(), 3);
}

TEST_F(fault, a_disk_that_fills_up)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    std::string mnt = t / "small";
    mkdir(mnt.c_str(), 0755);
    std::string cmd = "mount -t tmpfs -o size=64k tmpfs '" + mnt + "' 2>/dev/null";
    if (system(cmd.c_str()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    // The inputs lie outside the small file system, behind links. huge.mat
    // (about 256 KiB) does not fit in it, whether new or replacing an old
    // file; small.mat does.
    bytes huge = tbuild(tsimple(8, 8192)), old = tbuild(tsimple(1, 10)),
          small = tbuild(tsimple(1, 10));
    put("huge.cal", huge);
    put("small.cal", small);
    tcarry carry;
    texpect oldmat = texpected(old, "x", carry);
    writefile(mnt + "/old.mat", oldmat.mat);
    symlink((t / "huge.cal").c_str(), (mnt + "/huge.cal").c_str());
    symlink((t / "huge.cal").c_str(), (mnt + "/old.cal").c_str());
    symlink((t / "small.cal").c_str(), (mnt + "/small.cal").c_str());
    last = runprog(bin, {"small/huge.cal", "small/old.cal", "small/small.cal"}, t.dir);
    EXPECT_EQ(last.status, 0);
    tcarry none;
    EXPECT_EQ(last.out, texpected(huge, "small/huge.cal", none).line +
                            texpected(huge, "small/old.cal", none).line +
                            texpected(small, "small/small.cal", none).line + "\n");
    EXPECT_EQ(last.err, "ravlox: can't write small/huge.mat: No space left on device\n"
                        "ravlox: can't write small/old.mat: No space left on device\n");
    inputs_unchanged();
    tcarry fresh;
    EXPECT_EQ(readfile(mnt + "/small.mat"), texpected(small, "", fresh).mat);
    EXPECT_EQ(readfile(mnt + "/old.mat"), oldmat.mat) << "the old MAT-file stays whole";
    EXPECT_EQ(listing(mnt),
              (std::vector<std::string>{"huge.cal", "old.cal", "old.mat", "small.cal", "small.mat"}));
    std::string um = "umount '" + mnt + "'";
    EXPECT_EQ(system(um.c_str()), 0);
}

// The stored fuzz corpus, seeds and past findings, through the program in
// one run (the figures of one file carrying on to the next).
TEST_F(fault, the_fuzz_corpus_through_the_program)
{
    std::vector<std::string> args;
    for (auto &e : std::filesystem::directory_iterator(RAVLOX_CORPUS)) {
        std::string n = e.path().filename().string();
        put(n, readfile(e.path().string()));
        args.push_back(n);
    }
    std::sort(args.begin(), args.end());
    ASSERT_GE(args.size(), 30u);
    check(args);
}

// A small file that describes a large output costs what the output costs:
// the memory stays the same whatever the counts say, and the time follows
// the bytes written.
TEST_F(fault, counts_do_not_cost_more_than_the_output)
{
    auto header_only = [](int16_t ntok, int16_t npts) {
        tspec s = tsimple(1, 0);
        s.ntok = ntok;
        s.npts = npts;
        return tbuild(s); // four blocks: every car but the first is missing
    };
    put("tiny.cal", tbuild(tsimple(1, 1)));
    put("many.cal", header_only(32767, 64));  // 32767 tokens, about 9 MB
    put("long.cal", header_only(256, 32767)); // the longest tokens, 32 MiB
    ASSERT_LE(inputs["many.cal"].size(), 2048u);
    std::map<std::string, long> rss;
    for (const char *n : {"tiny.cal", "many.cal", "long.cal"}) {
        auto t0 = std::chrono::steady_clock::now();
        runres r = runprog(PEAKRSS_BIN, {t / "rss", bin, n}, t.dir);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(r.status, 0) << n;
        bytes kib = readfile(t / "rss");
        std::string digits = "0"; // an empty file reads as 0
        digits.append(kib.begin(), kib.end());
        rss[n] = std::stol(digits);
        remove((t / "rss").c_str());
        if (!wrapped()) {
            EXPECT_LT(s, 10.0) << n;
        }
        EXPECT_TRUE(matparse(readfile(t / outname(n))).ok) << n;
    }
    tcarry carry;
    EXPECT_EQ(std::filesystem::file_size(t / "many.mat"),
              texpected(inputs["many.cal"], "", carry, 0).matsize);
    if (!wrapped()) {
        EXPECT_LT(rss["many.cal"], rss["tiny.cal"] + 1024) << "KiB";
        EXPECT_LT(rss["long.cal"], rss["tiny.cal"] + 1024) << "KiB";
    }
}

} // namespace
