// SPDX-License-Identifier: MIT
// Outputs replaced while other programs look at them, what a replaced
// output keeps, what a signal leaves behind, and whole lines in a log that
// several runs share.
//
// Every output is written whole under a new temporary name beside it and
// renamed over the old one: a reader that opened the old file keeps it, a
// reader that opens the name gets the old or the new whole file, and no
// file's storage or metadata ever serves another's output.
#include "support/matread.h"
#include "support/run.h"
#include "support/tokbuild.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string bin = ravlox_bin();
using bytes = std::vector<unsigned char>;

// The MAT-file that converting desc into an empty folder gives.
bytes fresh(const tspec &desc)
{
    scratch t;
    writefile(t / "f.cal", tbuild(desc));
    runprog(bin, {"f.cal"}, t.dir);
    return readfile(t / "f.mat");
}

// All the bytes of the file open as fd, read through /proc so that a
// descriptor opened with O_PATH works too.
bytes through(int fd)
{
    return readfile("/proc/self/fd/" + std::to_string(fd));
}

std::string summary(const std::string &name, const tspec &s)
{
    return "File " + name + ": ntok=" + std::to_string(s.cars.size()) +
           ", size=" + std::to_string(s.npts) + ", rate=25000";
}

// The file's bytes as text; empty when there is none.
std::string textof(const std::string &path)
{
    bytes b = readfile(path);
    return std::string(b.begin(), b.end());
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

std::vector<std::string> strays(const std::string &dir)
{
    std::vector<std::string> v;
    for (const std::string &n : listing(dir))
        if (n.rfind(".ravlox-", 0) == 0)
            v.push_back(n);
    return v;
}

// Two TOKEN files, x.cal and y.cal, each with an old output of its own.
struct replacing : ::testing::Test {
    scratch t;
    tspec x = tsimple(3, 300), y = tsimple(2, 700);
    bytes oldx = bytes(5000, 0x11), oldy = bytes(9000, 0x22);

    void SetUp() override
    {
        writefile(t / "x.cal", tbuild(x));
        writefile(t / "y.cal", tbuild(y));
        writefile(t / "x.mat", oldx);
        writefile(t / "y.mat", oldy);
    }
};

TEST_F(replacing, readers_of_an_old_output_keep_it)
{
    // By name only (as a program that has looked the name up and not yet
    // read), and open for reading.
    int xpath = open((t / "x.mat").c_str(), O_PATH);
    int xread = open((t / "x.mat").c_str(), O_RDONLY);
    int ypath = open((t / "y.mat").c_str(), O_PATH);
    ASSERT_GE(xpath, 0);
    ASSERT_GE(xread, 0);
    ASSERT_GE(ypath, 0);
    runres r = runprog(bin, {"x.cal", "y.cal", "x.cal", "y.cal"}, t.dir);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(through(xpath), oldx) << "the O_PATH reader of the old x.mat";
    EXPECT_EQ(through(xread), oldx) << "the reader holding the old x.mat open";
    EXPECT_EQ(through(ypath), oldy) << "the O_PATH reader of the old y.mat";
    close(xpath);
    close(xread);
    close(ypath);
    EXPECT_EQ(readfile(t / "x.mat"), fresh(x));
    EXPECT_EQ(readfile(t / "y.mat"), fresh(y));
    EXPECT_EQ(listing(t.dir), (std::vector<std::string>{"x.cal", "x.mat", "y.cal", "y.mat"}));
}

// Two readers open the names over and over while a batch converts the two
// files again and again: each read is that name's old or new whole file.
TEST_F(replacing, a_reader_opening_the_name_gets_a_whole_file_of_its_own)
{
    const std::set<bytes> okx = {oldx, fresh(x)}, oky = {oldy, fresh(y)};
    std::vector<std::string> args;
    for (int i = 0; i < 2000; i++)
        args.push_back(i % 2 ? "y.cal" : "x.cal");

    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, wrong{0};
    auto reader = [&](const std::string &name, const std::set<bytes> &ok) {
        while (!stop) {
            bytes b = readfile(t / name);
            reads++;
            if (!ok.count(b))
                wrong++;
        }
    };
    std::thread rx(reader, "x.mat", okx), ry(reader, "y.mat", oky);
    runres r = runprog(bin, args, t.dir);
    stop = true;
    rx.join();
    ry.join();
    EXPECT_EQ(r.err, "");
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(wrong.load(), 0) << "of " << reads.load() << " reads";
    EXPECT_TRUE(strays(t.dir).empty());
}

// What a replaced output keeps, row by row: x.mat is given the row's
// metadata, y.mat is plain. After a batch in either order each output has
// exactly what converting its file alone gives it: its own metadata, never
// the other one's.
struct meta {
    uid_t uid;
    gid_t gid;
    mode_t mode;
    bytes note, acl;
    bool operator==(const meta &) const = default;
};

bytes xattrof(const std::string &path, const char *name)
{
    unsigned char buf[4096];
    ssize_t n = getxattr(path.c_str(), name, buf, sizeof buf);
    return n > 0 ? bytes(buf, buf + n) : bytes();
}

meta metaof(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return {};
    return {st.st_uid, st.st_gid, st.st_mode & 07777, xattrof(path, "user.note"),
            xattrof(path, "system.posix_acl_access")};
}

// An access ACL that also lets the user nobody read the file (the kernel's
// xattr form: a version word, then tag, permissions and id per entry).
bytes nobody_acl()
{
    bytes a;
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; i++)
            a.push_back((unsigned char)(v >> (8 * i)));
    };
    auto entry = [&](uint16_t tag, uint16_t perm, uint32_t id) {
        u32(tag | ((uint32_t)perm << 16));
        u32(id);
    };
    const uint32_t none = 0xffffffff;
    u32(2);
    entry(0x01, 6, none);  // owner rw
    entry(0x02, 4, 65534); // user nobody r
    entry(0x04, 4, none);  // group r
    entry(0x10, 4, none);  // mask r
    entry(0x20, 0, none);  // others none
    return a;
}

TEST(replace, a_replaced_output_keeps_its_own_metadata)
{
    const bytes acl = nobody_acl();
    struct {
        const char *what;
        std::function<bool(const std::string &)> give;
    } rows[] = {
        {"group", [](const std::string &p) { return chown(p.c_str(), (uid_t)-1, 65534) == 0; }},
        {"extended attribute",
         [](const std::string &p) { return setxattr(p.c_str(), "user.note", "subject A", 9, 0) == 0; }},
        {"ACL entry",
         [&](const std::string &p) {
             return setxattr(p.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
         }},
        {"permission bits", [](const std::string &p) { return chmod(p.c_str(), 0640) == 0; }},
        {"owner, as root",
         [](const std::string &p) { return geteuid() == 0 && chown(p.c_str(), 65534, 65534) == 0; }},
    };
    tspec x = tsimple(3, 300), y = tsimple(2, 700);
    const bytes newx = fresh(x), newy = fresh(y);
    int ran = 0;
    for (auto &row : rows) {
        // The two outputs as they stand before a run; false when the row's
        // metadata can't be set here.
        auto setup = [&](const scratch &t) {
            writefile(t / "x.cal", tbuild(x));
            writefile(t / "y.cal", tbuild(y));
            writefile(t / "x.mat", bytes(5000, 0x11));
            writefile(t / "y.mat", bytes(9000, 0x22));
            chmod((t / "y.mat").c_str(), 0644);
            return row.give(t / "x.mat");
        };
        scratch alone;
        if (!setup(alone))
            continue;
        ran++;
        const meta wantx = metaof(alone / "x.mat"), wanty = metaof(alone / "y.mat");
        runprog(bin, {"x.cal"}, alone.dir);
        runprog(bin, {"y.cal"}, alone.dir);
        EXPECT_EQ(metaof(alone / "x.mat"), wantx) << row.what << ": x.cal alone";
        EXPECT_EQ(metaof(alone / "y.mat"), wanty) << row.what << ": y.cal alone";

        for (std::vector<std::string> order :
             {std::vector<std::string>{"x.cal", "y.cal"}, {"y.cal", "x.cal", "y.cal"}}) {
            scratch t;
            ASSERT_TRUE(setup(t));
            runres r = runprog(bin, order, t.dir);
            EXPECT_EQ(r.err, "") << row.what;
            EXPECT_EQ(metaof(t / "x.mat"), wantx) << row.what << ", batch from " << order[0];
            EXPECT_EQ(metaof(t / "y.mat"), wanty) << row.what << ", batch from " << order[0];
            EXPECT_EQ(readfile(t / "x.mat"), newx) << row.what;
            EXPECT_EQ(readfile(t / "y.mat"), newy) << row.what;
        }
    }
    if (ran == 0)
        GTEST_SKIP() << "no metadata could be set here";
}

// A set-user-ID bit stays only with the owner it belongs to: an output of
// another user's that the user may write becomes the user's, without it.
TEST(replace, an_output_of_another_user_becomes_the_users_without_set_id_bits)
{
    if (!canrunasnobody())
        GTEST_SKIP() << "needs root and setpriv to run the program as another user";
    scratch t;
    chmod(t.dir.c_str(), 0777);
    tspec x = tsimple(1, 50);
    writefile(t / "x.cal", tbuild(x));
    writefile(t / "x.mat", bytes(100, 1));
    chmod((t / "x.mat").c_str(), 04666);
    runres r = runasnobody({"x.cal"}, t.dir);
    EXPECT_EQ(r.err, "");
    struct stat st;
    ASSERT_EQ(stat((t / "x.mat").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_EQ(readfile(t / "x.mat"), fresh(x));
}

// Starts the program with standard output and error going to files in cwd,
// no core file, and waits until the log holds text; then sends sig (0:
// none) and returns the wait status.
int signalled(const std::vector<std::string> &args, const std::string &cwd, const std::string &text,
              int sig)
{
    std::vector<std::string> words = {bin};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit nocore = {0, 0};
        setrlimit(RLIMIT_CORE, &nocore);
        // As a terminal starts it, whatever this process ignores.
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
            signal(s, SIG_DFL);
        if (chdir(cwd.c_str()) != 0)
            _exit(127);
        int o = open("log", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open("err", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (sig && std::chrono::steady_clock::now() < until) {
        if (textof(cwd + "/log").find(text) != std::string::npos)
            break;
        usleep(500);
    }
    if (sig)
        kill(pid, sig);
    int st = 0;
    waitpid(pid, &st, 0);
    return st;
}

// A batch over existing outputs stopped by each signal: no temporary file
// stays, every output is its old or its new whole content, and the log
// holds a whole line for every output made. The signal comes while the
// large file in the middle is being converted, its temporary file in hand.
TEST(replace, a_signal_leaves_old_or_new_outputs_and_whole_lines)
{
    std::vector<std::pair<std::string, tspec>> files;
    for (int i = 0; i < 6; i++)
        files.push_back({"s" + std::to_string(i), tsimple(1 + i, 40 + 10 * i)});
    files.insert(files.begin() + 3, {"big", tsimple(600, 32767)});
    std::map<std::string, bytes> made;
    for (auto &[name, desc] : files)
        made[name] = name == "big" ? bytes() : fresh(desc);

    struct {
        const char *what;
        int sig;       // sent once the large file's line is in the log
        bool viashell; // the command runs through bash: a pipe or a limit
        std::string shell;
        int status;    // the signal that ends the program; 0: it exits with 0
    } rows[] = {
        {"SIGTERM", SIGTERM, false, "", SIGTERM},
        {"SIGQUIT", SIGQUIT, false, "", SIGQUIT},
        {"SIGINT", SIGINT, false, "", SIGINT},
        {"SIGHUP", SIGHUP, false, "", SIGHUP},
        // Not to be caught: at most the one temporary file of the file in
        // hand stays, holding the start of its new output and nothing else.
        {"SIGKILL", SIGKILL, false, "", SIGKILL},
        // head takes the first line and goes; the next line ends the run.
        {"SIGPIPE", 0, true,
         "'$bin' big.cal s0.cal s1.cal 2> err | head -n 1 > log; exit ${PIPESTATUS[0]}", 0},
        // Outputs past 20 KiB fail with EFBIG and are reported; the run goes on.
        {"SIGXFSZ", 0, true, "ulimit -f 20; '$bin' s0.cal s1.cal s2.cal big.cal s3.cal > log 2> err",
         0},
    };
    for (auto &row : rows) {
        scratch t;
        std::vector<std::string> args;
        std::map<std::string, bytes> old;
        for (auto &[name, desc] : files) {
            writefile(t / (name + ".cal"), tbuild(desc));
            old[name] = bytes(3000 + name.size(), (unsigned char)name[1]);
            writefile(t / (name + ".mat"), old[name]);
            args.push_back(name + ".cal");
        }
        int st;
        if (row.viashell) {
            std::string cmd = row.shell;
            cmd.replace(cmd.find("$bin"), 4, bin);
            writefile(t / "run.sh", bytes(cmd.begin(), cmd.end()));
            st = system(("cd '" + t.dir + "' && bash run.sh").c_str());
        } else {
            st = signalled(args, t.dir, summary("big.cal", files[3].second) + "\n", row.sig);
        }
        std::string log = textof(t / "log"), err = textof(t / "err");

        if (row.sig) {
            EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == row.status) << row.what << ": " << st;
        } else if (std::string(row.what) == "SIGPIPE") {
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 128 + SIGPIPE) << row.what << ": " << st;
        } else {
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << row.what << ": " << st;
        }
        std::vector<std::string> left = strays(t.dir);
        if (row.sig == SIGKILL && left.size() == 1) {
            // The large file's new output, made without a signal elsewhere.
            scratch ref;
            writefile(ref / "big.cal", tbuild(files[3].second));
            signalled({"big.cal"}, ref.dir, "", 0);
            bytes whole = readfile(ref / "big.mat"), part = readfile(t / left[0]);
            EXPECT_LE(part.size(), whole.size()) << row.what;
            EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin()))
                << row.what << ": the temporary file holds other bytes than big.mat's new ones";
            left.clear();
        }
        EXPECT_EQ(left, std::vector<std::string>()) << row.what;
        std::vector<std::string> got = lines(log);
        EXPECT_TRUE(log.empty() || log.back() == '\n') << row.what << ": the log ends mid-line";
        for (auto &[name, desc] : files) {
            bytes now = readfile(t / (name + ".mat"));
            bool isnew = name == "big" ? now != old[name] : now == made[name];
            if (name == "big" && isnew) {
                mfile m = matparse(now);
                EXPECT_TRUE(m.ok && m.vars.size() == 606) << row.what << ": big.mat is not whole";
            }
            EXPECT_TRUE(isnew || now == old[name]) << row.what << ": " << name << ".mat";
            if (isnew) {
                EXPECT_NE(std::find(got.begin(), got.end(), summary(name + ".cal", desc)), got.end())
                    << row.what << ": " << name << ".mat was made without its line";
            }
        }
        for (const std::string &l : got) {
            bool known = l.empty();
            for (auto &[name, desc] : files)
                known = known || l == summary(name + ".cal", desc);
            EXPECT_TRUE(known) << row.what << ": a torn line: " << l;
        }
        if (std::string(row.what) == "SIGXFSZ") {
            EXPECT_EQ(err, "ravlox: can't write big.mat: File too large\n");
            EXPECT_EQ(readfile(t / "big.mat"), old["big"]);
            EXPECT_EQ(got.size(), 6u);
        }
    }
}

// The README's recipe: four processes of up to 50 files each share one
// log. Every line arrives whole, and each file has its line once.
TEST(replace, parallel_runs_sharing_a_log_never_tear_a_line)
{
    if (system("command -v xargs >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no xargs";
    scratch t;
    mkdir((t / "data").c_str(), 0755);
    tspec s = tsimple(8, 1024);
    bytes img = tbuild(s);
    std::set<std::string> want;
    const int n = 400;
    for (int i = 0; i < n; i++) {
        std::string name = "data/session_" + std::to_string(i % 7) +
                           "_subject_with_a_rather_longish_name_and_a_longer_description_of_the_"
                           "measurement_" +
                           std::to_string(1000 + i) + ".cal";
        writefile(t / name, img);
        want.insert(summary(name, s));
    }
    std::string cmd = "cd '" + t.dir + "' && find data -name '*.cal' -print0 | xargs -0 -n 50 -P 4 '" +
                      bin + "' > convert.log 2>&1";
    ASSERT_EQ(system(cmd.c_str()), 0);
    std::string log = textof(t / "convert.log");
    std::multiset<std::string> seen;
    int empty = 0;
    for (const std::string &l : lines(log)) {
        if (l.empty())
            empty++;
        else
            seen.insert(l);
    }
    EXPECT_EQ(empty, n / 50) << "one closing empty line per run";
    EXPECT_EQ(seen.size(), (size_t)n);
    for (const std::string &l : seen)
        EXPECT_TRUE(want.count(l) && seen.count(l) == 1) << "torn or doubled: " << l;
}

// Standard output that can't be written is said once on the error stream;
// the files are converted all the same and the status stays 0.
TEST(replace, a_standard_output_that_fails_is_reported_once)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    scratch t;
    writefile(t / "a.cal", tbuild(tsimple(1, 10)));
    writefile(t / "b.cal", tbuild(tsimple(2, 10)));
    std::string cmd = "cd '" + t.dir + "' && '" + bin + "' a.cal b.cal > /dev/full 2> err";
    int st = system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    std::string err = textof(t / "err");
    EXPECT_EQ(err, "ravlox: can't write the standard output: No space left on device\n");
    EXPECT_TRUE(matparse(readfile(t / "a.mat")).ok);
    EXPECT_TRUE(matparse(readfile(t / "b.mat")).ok);
}

} // namespace
