// SPDX-License-Identifier: MIT
// What only the Windows build does: splitting the command line and
// expanding its wildcards at start-up, output names with "\" and drive
// letters, file identity by file ID, and replacing an existing output.
#include "support/matread.h"
#include "support/run.h"
#include "support/tokbuild.h"

#include "common/fileio.h"
#include "driver/winargs.h"
#include "matout/matwr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>
#include <windows.h>

namespace {

using words = std::vector<std::wstring>;

std::wstring wide(const std::string &s) { return std::wstring(s.begin(), s.end()); }

std::string summary(const std::string &name, int ntok, int npts)
{
    return "File " + name + ": ntok=" + std::to_string(ntok) + ", size=" + std::to_string(npts) +
           ", rate=25000\n";
}

std::string cantopen(const std::string &name) { return "File " + name + ": Can't open the file\n"; }

TEST(startargs, splits_by_the_runtime_rules)
{
    struct {
        const wchar_t *cmd;
        words args;
    } cases[] = {
        {L"ravlox a.cal b.cal", {L"ravlox", L"a.cal", L"b.cal"}},
        {L"ravlox", {L"ravlox"}},
        {L"  ravlox", {L"", L"ravlox"}},
        {L"\"C:\\Program Files\\r.exe\" x", {L"C:\\Program Files\\r.exe", L"x"}},
        {L"C:\\tools\\r\\\"x y\" z", {L"C:\\tools\\r\\\"x", L"y z"}},
        {L"r \t a.cal\t\tb.cal  ", {L"r", L"a.cal", L"b.cal"}},
        {L"r \"my dir\\a.cal\" b", {L"r", L"my dir\\a.cal", L"b"}},
        {L"r a\"b c\"d", {L"r", L"ab cd"}},
        {L"r \"\" x \"\"", {L"r", L"", L"x", L""}},
        {L"r a\\\\b c\\d\\", {L"r", L"a\\\\b", L"c\\d\\"}},
        {L"r a\\\"b", {L"r", L"a\"b"}},
        {L"r a\\\\\"b c\"", {L"r", L"a\\b c"}},
        {L"r a\\\\\\\"b", {L"r", L"a\\\"b"}},
        {L"r \"a\"\"b\" c", {L"r", L"a\"b", L"c"}},
        {L"r \"a b", {L"r", L"a b"}},
        {L"r \"c:\\x y\\\\\" z", {L"r", L"c:\\x y\\", L"z"}},
    };
    for (auto &c : cases)
        EXPECT_EQ(startargs(c.cmd), c.args) << std::string(c.cmd, c.cmd + wcslen(c.cmd));
}

// Wildcards expanded in a folder of known files, the folder being current.
struct expansion : ::testing::Test {
    scratch t;
    std::string back;
    void SetUp() override
    {
        char cwd[MAX_PATH];
        GetCurrentDirectoryA(sizeof cwd, cwd);
        back = cwd;
        for (const char *d : {"sub", "my dir", "data.old"})
            CreateDirectoryA((t / d).c_str(), nullptr);
        for (const char *f : {"a.cal", "B.cal", "c.cal", "x.txt", "a.calx", "sub/d.cal",
                              "my dir/e.cal", "data.old/f.cal", ".g.cal"})
            writefile(t / f, tbuild(tsimple(1, 10)));
        ASSERT_TRUE(SetCurrentDirectoryA(t.dir.c_str()));
    }
    void TearDown() override { SetCurrentDirectoryA(back.c_str()); }
};

TEST_F(expansion, replaces_unquoted_wildcards_by_the_sorted_matches)
{
    struct {
        const wchar_t *tail;
        words args;
    } cases[] = {
        {L"*.cal", {L".g.cal", L"a.cal", L"B.cal", L"c.cal"}},
        {L"?.cal", {L"a.cal", L"B.cal", L"c.cal"}},
        {L"*.CAL", {L".g.cal", L"a.cal", L"B.cal", L"c.cal"}},
        {L"b.*", {L"B.cal"}},
        {L"a.cal?", {L"a.calx"}},
        {L"a*x", {L"a.calx"}},
        {L"*.t?t x.txt", {L"x.txt", L"x.txt"}},
        {L"sub\\*.cal", {L"sub\\d.cal"}},
        {L"sub/*", {L"sub/d.cal"}},
        {L"s?b//*.cal", {L"sub//d.cal"}},
        {L"*/*.cal", {L"data.old/f.cal", L"my dir/e.cal", L"sub/d.cal"}},
        {L"*\\", {L"data.old\\", L"my dir\\", L"sub\\"}},
        {L"\"my dir\"\\*.cal", {L"my dir\\e.cal"}},
        {L"\"my \"d*\\e.cal", {L"my dir\\e.cal"}},
        {L"*.old\\f.cal", {L"data.old\\f.cal"}},
        {L".\\?.cal", {L".\\a.cal", L".\\B.cal", L".\\c.cal"}},
        {L"sub\\..\\b*", {L"sub\\..\\B.cal"}},
    };
    for (auto &c : cases) {
        words want = {L"ravlox"};
        want.insert(want.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(startargs((L"ravlox " + std::wstring(c.tail)).c_str()), want)
            << std::string(c.tail, c.tail + wcslen(c.tail));
    }
}

TEST_F(expansion, leaves_quoted_wildcards_and_patterns_without_match)
{
    struct {
        const wchar_t *tail;
        words args;
    } cases[] = {
        {L"\"*.cal\"", {L"*.cal"}},
        {L"\"*\".cal", {L"*.cal"}},
        {L"\"?\".cal", {L"?.cal"}},
        {L"\"my dir\\*.cal\"", {L"my dir\\*.cal"}},
        {L"*.nomatch", {L"*.nomatch"}},
        {L"\"no match\"*", {L"no match*"}},
        {L"\"a\"*\"?\"", {L"a*?"}},
        {L"*.ca", {L"*.ca"}},
        {L"nodir\\*.cal", {L"nodir\\*.cal"}},
        {L"x.txt\\*", {L"x.txt\\*"}},
        {L"a.cal\\\"*\"", {L"a.cal\"*"}},
        {L"\"\"", {L""}},
    };
    for (auto &c : cases) {
        words want = {L"ravlox"};
        want.insert(want.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(startargs((L"ravlox " + std::wstring(c.tail)).c_str()), want)
            << std::string(c.tail, c.tail + wcslen(c.tail));
    }
}

TEST_F(expansion, matches_full_paths_and_drive_relative_ones)
{
    std::wstring dir = wide(t.dir);
    words got = startargs((L"r \"" + dir + L"\"\\?.cal").c_str());
    EXPECT_EQ(got, (words{L"r", dir + L"\\a.cal", dir + L"\\B.cal", dir + L"\\c.cal"}));
    // "C:x" names x in drive C's current folder, which is this one.
    std::wstring drive = dir.substr(0, 2);
    ASSERT_EQ(drive[1], L':');
    got = startargs((L"r " + drive + L"x.t*").c_str());
    EXPECT_EQ(got, (words{L"r", drive + L"x.txt"}));
}

// The program as a console starts it, with the command line as typed.
TEST_F(expansion, the_program_expands_its_own_command_line)
{
    std::string bin = ravlox_bin();
    runres r = runcmd(bin, "\"*.cal\" ?.cal \"my dir\"\\*.cal *.nomatch", t.dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, cantopen("*.cal") + summary("a.cal", 1, 10) + summary("B.cal", 1, 10) +
                         summary("c.cal", 1, 10) + summary("my dir\\e.cal", 1, 10) +
                         cantopen("*.nomatch") + "\n");
    // Windows takes no wildcard in a file name, and says so.
    EXPECT_EQ(r.err, "ravlox: can't open *.cal: Invalid argument\n"
                     "ravlox: can't open *.nomatch: Invalid argument\n");
    for (const char *m : {"a.mat", "B.mat", "c.mat", "my dir/e.mat"})
        EXPECT_TRUE(matparse(readfile(t / m)).ok) << m;
    EXPECT_FALSE(exists(t / "x.mat"));
    EXPECT_FALSE(exists(t / "sub/d.mat"));

    r = runcmd(bin, "sub\\*.cal \"data.old\\f.cal\" -i \"-\" \"\"", t.dir);
    EXPECT_EQ(r.out, summary("sub\\d.cal", 1, 10) + summary("data.old\\f.cal", 1, 10) +
                         cantopen("") + "\n");
    EXPECT_TRUE(matparse(readfile(t / "sub/d.mat")).ok);
    EXPECT_TRUE(matparse(readfile(t / "data.old/f.mat")).ok) << "the dot of the folder is not the file's";
}

TEST(newext, ends_the_folder_at_a_backslash_or_a_drive)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"data.old\\subj1.cal", "data.old\\subj1.mat"},
        {"C:subj1.cal", "C:subj1.mat"},
        {"C:.\\x.y.z", "C:.\\x.mat"},
        {"c:a.b\\c", "c:a.b\\c.mat"},
        {"\\\\srv.x\\share.y\\s.cal", "\\\\srv.x\\share.y\\s.mat"},
        {"a.b/c.d\\e", "a.b/c.d\\e.mat"},
        {"a.b\\", "a.b\\.mat"},
        {"ab:c.d", "ab:c.mat"},
    };
    for (auto c : cases) {
        std::vector<char> buf(strlen(c.in) + 8, 'x');
        strcpy(buf.data(), c.in);
        newext(buf.data(), "mat");
        EXPECT_STREQ(buf.data(), c.out) << c.in;
    }
}

// Whether the output name path names the open file fd, as the program
// decides it.
bool sameasinput(int fd, const std::string &path)
{
    fileid in;
    outinfo o;
    lookout(path.c_str(), &o);
    return fdid(fd, &in) && o.exists && o.hasid && sameid(in, o.id);
}

TEST(fileid, compares_the_file_id)
{
    scratch t;
    writefile(t / "self.mat", {1, 2, 3});
    writefile(t / "other.mat", {1, 2, 3});
    CreateDirectoryA((t / "d").c_str(), nullptr);
    int fd = open((t / "self.mat").c_str(), O_RDONLY | O_BINARY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(sameasinput(fd, t / "self.mat"));
    EXPECT_TRUE(sameasinput(fd, t / "SELF.MAT")) << "case does not tell files apart";
    EXPECT_TRUE(sameasinput(fd, t / "d/../self.mat"));
    EXPECT_TRUE(sameasinput(fd, t / "d\\..\\Self.Mat"));
    EXPECT_FALSE(sameasinput(fd, t / "other.mat"));
    EXPECT_FALSE(sameasinput(fd, t / "missing.mat"));
    EXPECT_FALSE(sameasinput(fd, t / "d"));
    close(fd);
}

TEST(samefile, an_input_named_like_its_output_in_another_case_is_left_alone)
{
    scratch t;
    auto f = tbuild(tsimple(1, 10));
    writefile(t / "self.mat", f);
    runres r = runprog(ravlox_bin(), {"SELF.mat", "self.MAT"}, t.dir);
    EXPECT_EQ(r.out, "File SELF.mat: Output would overwrite the input\n"
                     "File self.MAT: Output would overwrite the input\n\n");
    EXPECT_EQ(readfile(t / "self.mat"), f);
}

TEST(replacefile, replaces_an_existing_file)
{
    scratch t;
    writefile(t / "new", {1, 2, 3});
    writefile(t / "old", std::vector<unsigned char>(1000, 7));
    ASSERT_EQ(replacefile((t / "new").c_str(), (t / "old").c_str()), 0);
    EXPECT_EQ(readfile(t / "old"), (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_FALSE(exists(t / "new"));
    EXPECT_EQ(replacefile((t / "new").c_str(), (t / "old").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

// A second run over the same file replaces its MAT-file, and one whose
// samples hold CR, LF and Ctrl-Z bytes comes out as it went in.
TEST(replacefile, a_second_run_replaces_the_output)
{
    scratch t;
    tspec s = tsimple(2, 300);
    s.cars[0].samples[0] = 0x0a0d;
    s.cars[0].samples[1] = 0x1a0a;
    s.cars[0].samples[2] = 0x0d1a;
    writefile(t / "a.cal", tbuild(s));
    writefile(t / "a.mat", std::vector<unsigned char>(100000, 0x0a));
    runres r = runprog(ravlox_bin(), {"a.cal"}, t.dir);
    EXPECT_EQ(r.err, "");
    mfile m = matparse(readfile(t / "a.mat"));
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.find("tok1")->f32(0), (float)0x0a0d);
    EXPECT_EQ(m.find("tok1")->f32(1), (float)0x1a0a);
    EXPECT_EQ(m.find("tok1")->f32(2), (float)0x0d1a);
    auto first = readfile(t / "a.mat");
    r = runprog(ravlox_bin(), {"a.cal"}, t.dir);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readfile(t / "a.mat"), first);
}

} // namespace
