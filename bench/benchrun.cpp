// SPDX-License-Identifier: MIT
// The batch-conversion benchmark: ravlox against the I/O floor.
//
//     benchrun --ravlox PATH --floor PATH [--tiny] [--files N] [--tokens N]
//              [--samples N] [--rounds N] [--warmup N] [--big-tokens N]
//              [--big-samples N] [--rss-limit KB]
//     benchrun --make DIR [--files N] [--tokens N] [--samples N]
//
// It builds a workload of TOKEN files with the test suite's builder in a
// fresh folder under $TMPDIR (or /tmp) and runs the floor and ravlox over
// the whole folder in two modes: first run (every output removed before the
// run) and re-run (the outputs of the run before are there). Each round runs
// every program once in each mode, after a sync() so that no run pays for
// the writeback of the one before it, and the order of the programs turns
// by one from round to round. Per mode it prints the median time of each
// program with its files/s and MB/s (bytes read plus bytes written, per
// second, MB = 10^6 bytes), and the median, lowest and highest of the
// per-round ratios ravlox/floor. Then it converts one large file and prints
// the peak resident memory of ravlox doing so. The folder is removed at the
// end. With --make it only writes the workload files into DIR (which must
// exist), for profiling by hand.
//
// No figure is judged: timings on a shared machine are noisy, which is why
// the rounds are interleaved and the spread is shown. What does make the run
// fail (status 1) is a conversion that went wrong: a nonzero exit status, an
// output of the wrong size, a MAT-file that does not parse, a file left in
// the folder besides the inputs and outputs, or a peak resident memory above
// --rss-limit when one is given.
#include "support/matread.h"
#include "support/tokbuild.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct opts {
    std::string ravlox, floor;
    int files = 400, tokens = 64, samples = 1024;
    int rounds = 21, warmup = 1;
    int bigtok = 8000, bigsamp = 32767;
    long rsslimit = 0; // KiB; 0: none
    std::string make;  // only write the workload into this folder
};

struct runout {
    double secs = 0;
    long maxrss = 0; // KiB
    int status = -1;
};

// The two ways a folder is converted: with no outputs there yet, and again
// over the outputs of the run before.
enum { firstrun, rerun, nmodes };
const char *const modename[nmodes] = {"first run (no outputs there)",
                                      "re-run (the last run's outputs there)"};

// One timed program: its command line and its times, per mode one per round.
struct leg {
    std::string name;
    std::vector<std::string> argv;
    bool writesmat = false; // its outputs must parse as MAT-files
    std::vector<double> secs[nmodes];
    long maxrss[nmodes] = {0, 0}; // KiB
};

[[noreturn]] void die(const std::string &why)
{
    fprintf(stderr, "benchrun: %s\n", why.c_str());
    exit(1);
}

// Runs argv[0] with argv, its standard output thrown away; returns the wall
// time, the exit status and the child's peak resident memory.
runout timed(const std::vector<std::string> &argv)
{
    std::vector<char *> av;
    for (const std::string &a : argv)
        av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0)
        die("fork failed");
    if (pid == 0) {
        int nul = open("/dev/null", O_WRONLY);
        if (nul >= 0)
            dup2(nul, 1);
        execv(av[0], av.data());
        _exit(127);
    }
    int st = 0;
    struct rusage ru;
    if (wait4(pid, &st, 0, &ru) != pid)
        die("wait failed");
    auto t1 = std::chrono::steady_clock::now();
    runout r;
    r.secs = std::chrono::duration<double>(t1 - t0).count();
    r.maxrss = ru.ru_maxrss;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// The size of the MAT-file ravlox writes for ntok tokens of npts samples:
// three one-element records, one record of npts singles per token, three
// one-element records.
int64_t matsize(int ntok, int npts)
{
    auto rec = [](const std::string &name, int64_t databytes) {
        return 20 + (int64_t)name.size() + 1 + databytes;
    };
    int64_t n = rec("TEOAE_TOK", 2) + rec("rate", 4) + rec("npts", 2);
    for (int i = 1; i <= ntok; i++)
        n += rec("tok" + std::to_string(i), 4 * (int64_t)npts);
    return n + rec("reps", 2) + rec("ppc", 4) + rec("vpc", 4);
}

int64_t filesize(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? (int64_t)st.st_size : -1;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string loadavg()
{
    char buf[128] = "?";
    if (FILE *f = fopen("/proc/loadavg", "r")) {
        if (!fgets(buf, sizeof buf, f))
            strcpy(buf, "?");
        fclose(f);
    }
    // The 1, 5 and 15 minute figures.
    std::string s = buf;
    size_t end = 0;
    for (int k = 0; k < 3 && end != std::string::npos; k++)
        end = s.find(' ', end + (k > 0));
    return s.substr(0, end);
}

// The workload folder, removed however the run ends.
std::string workdir;

// Checks that every output exists with the size a MAT-file of ntok tokens of
// npts samples has, that the folder holds nothing but the inputs and these
// outputs (no temporary file left behind), and, when parse is set, that the
// first output parses with the right variables.
void checkout(const std::vector<std::string> &outs, int ntok, int npts, bool parse)
{
    int64_t want = matsize(ntok, npts);
    for (const std::string &o : outs)
        if (filesize(o) != want)
            die(o + ": size " + std::to_string(filesize(o)) + ", expected " +
                std::to_string(want));
    auto n = std::distance(std::filesystem::directory_iterator(workdir),
                           std::filesystem::directory_iterator());
    if (n != 2 * (long)outs.size())
        die(workdir + " holds " + std::to_string(n) + " files, expected " +
            std::to_string(2 * outs.size()));
    if (!parse)
        return;
    mfile m = matparse(readfile(outs[0]));
    if (!m.ok || m.vars.size() != (size_t)ntok + 6)
        die(outs[0] + " is not the MAT-file expected");
}

std::string matname(const std::string &cal) { return cal.substr(0, cal.size() - 4) + ".mat"; }

int intarg(int argc, char **argv, int &i)
{
    if (i + 1 >= argc)
        die(std::string("missing value after ") + argv[i]);
    return atoi(argv[++i]);
}

opts parse(int argc, char **argv)
{
    opts o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--ravlox" && i + 1 < argc)
            o.ravlox = argv[++i];
        else if (a == "--floor" && i + 1 < argc)
            o.floor = argv[++i];
        else if (a == "--tiny") {
            // A few small files and a large file just over the memory bound
            // read whole: enough to show that every step still works.
            o.files = 3;
            o.tokens = 5;
            o.samples = 300;
            o.rounds = 2;
            o.warmup = 1;
            o.bigtok = 600;
        } else if (a == "--files")
            o.files = intarg(argc, argv, i);
        else if (a == "--tokens")
            o.tokens = intarg(argc, argv, i);
        else if (a == "--samples")
            o.samples = intarg(argc, argv, i);
        else if (a == "--rounds")
            o.rounds = intarg(argc, argv, i);
        else if (a == "--warmup")
            o.warmup = intarg(argc, argv, i);
        else if (a == "--big-tokens")
            o.bigtok = intarg(argc, argv, i);
        else if (a == "--big-samples")
            o.bigsamp = intarg(argc, argv, i);
        else if (a == "--rss-limit")
            o.rsslimit = intarg(argc, argv, i);
        else if (a == "--make" && i + 1 < argc)
            o.make = argv[++i];
        else
            die("unknown argument " + a);
    }
    if (o.make.empty() && (o.ravlox.empty() || o.floor.empty()))
        die("--ravlox and --floor are required");
    if (o.files < 1 || o.rounds < 1 || o.warmup < 0 || o.tokens < 1 || o.tokens > 32767 ||
        o.samples < 1 || o.samples > 32767 || o.bigtok < 1 || o.bigtok > 32767 ||
        o.bigsamp < 1 || o.bigsamp > 32767)
        die("a count is out of range");
    return o;
}

void removework()
{
    std::error_code ec;
    if (!workdir.empty())
        std::filesystem::remove_all(workdir, ec);
}

} // namespace

int main(int argc, char **argv)
{
    opts o = parse(argc, argv);
    if (!o.make.empty()) {
        std::vector<unsigned char> img = tbuild(tsimple(o.tokens, o.samples));
        for (int i = 0; i < o.files; i++) {
            char name[32];
            snprintf(name, sizeof name, "/f%05d.cal", i + 1);
            if (!writefile(o.make + name, img))
                die("can't write " + o.make + name);
        }
        return 0;
    }
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/ravlox-bench-XXXXXX";
    std::vector<char> tb(templ.begin(), templ.end());
    tb.push_back(0);
    if (!mkdtemp(tb.data()))
        die("can't make a folder from " + templ + ": " + strerror(errno));
    workdir = tb.data();
    atexit(removework);
    std::string load0 = loadavg();

    // The workload: stored calibration is what the builder's cars carry.
    std::vector<unsigned char> img = tbuild(tsimple(o.tokens, o.samples));
    std::vector<std::string> cals, mats;
    for (int i = 0; i < o.files; i++) {
        char name[32];
        snprintf(name, sizeof name, "/f%05d.cal", i + 1);
        cals.push_back(workdir + name);
        mats.push_back(matname(cals.back()));
        if (!writefile(cals.back(), img))
            die("can't write " + cals.back());
    }
    int64_t outsz = matsize(o.tokens, o.samples);
    double inmb = (double)img.size() * o.files / 1e6;
    double outmb = (double)outsz * o.files / 1e6;

    // legs[0], the floor, is what the others are measured against.
    std::vector<leg> legs(2);
    legs[0].name = "floor";
    legs[0].argv = {o.floor, std::to_string(outsz)};
    legs[1].name = "ravlox";
    legs[1].argv = {o.ravlox};
    legs[1].writesmat = true;
    for (leg &l : legs)
        l.argv.insert(l.argv.end(), cals.begin(), cals.end());

    auto go = [](const std::vector<std::string> &argv, const std::string &what) {
        runout r = timed(argv);
        if (r.status != 0)
            die(what + " exited with status " + std::to_string(r.status));
        return r;
    };

    // Rounds below 0 are the warm-up, not recorded. Round r starts with
    // program r mod n and goes on in order, in each mode.
    int n = (int)legs.size();
    for (int r = -o.warmup; r < o.rounds; r++)
        for (int m = 0; m < nmodes; m++)
            for (int k = 0; k < n; k++) {
                leg &l = legs[((r + k) % n + n) % n];
                if (m == firstrun)
                    for (const std::string &p : mats)
                        unlink(p.c_str());
                sync();
                runout x = go(l.argv, l.name);
                checkout(mats, o.tokens, o.samples, l.writesmat);
                if (r >= 0) {
                    l.secs[m].push_back(x.secs);
                    l.maxrss[m] = std::max(l.maxrss[m], x.maxrss);
                }
            }
    std::string load1 = loadavg();

    printf("workload: %d files of %d tokens x %d samples, stored calibration: "
           "%.1f MB read, %.1f MB written per run\n",
           o.files, o.tokens, o.samples, inmb, outmb);
    printf("rounds:   %d per mode after %d warm-up round%s; sync before every run, "
           "order of the programs turned each round\n",
           o.rounds, o.warmup, o.warmup == 1 ? "" : "s");
    for (int m = 0; m < nmodes; m++) {
        printf("%s:\n", modename[m]);
        for (const leg &l : legs) {
            double t = median(l.secs[m]);
            printf("  %-8s median %.4f s  %8.1f files/s  %7.1f MB/s  (peak RSS %ld KB)\n",
                   (l.name + ":").c_str(), t, o.files / t, (inmb + outmb) / t, l.maxrss[m]);
        }
        for (int i = 1; i < n; i++) {
            std::vector<double> ratio;
            for (int r = 0; r < o.rounds; r++)
                ratio.push_back(legs[i].secs[m][r] / legs[0].secs[m][r]);
            printf("  ratio %s/floor: median %.3f  min %.3f  max %.3f  (target <= 1.1)\n",
                   legs[i].name.c_str(), median(ratio),
                   *std::min_element(ratio.begin(), ratio.end()),
                   *std::max_element(ratio.begin(), ratio.end()));
        }
    }
    printf("re-run / first run, median times:");
    for (int i = 0; i < n; i++)
        printf("%s %s %.2f", i ? "," : "", legs[i].name.c_str(),
               median(legs[i].secs[rerun]) / median(legs[i].secs[firstrun]));
    printf("\n");
    printf("load average before: %s; after: %s\n", load0.c_str(), load1.c_str());
    fflush(stdout);

    for (const std::string &p : cals)
        unlink(p.c_str());
    for (const std::string &p : mats)
        unlink(p.c_str());

    // One large file, for the memory bound.
    std::string big = workdir + "/big.cal", bigmat = matname(big);
    {
        std::vector<unsigned char> bimg = tbuild(tsimple(o.bigtok, o.bigsamp));
        if (!writefile(big, bimg))
            die("can't write " + big);
    }
    double bigin = (double)filesize(big) / 1e6;
    sync();
    runout b = go({o.ravlox, big}, "ravlox");
    checkout({bigmat}, o.bigtok, o.bigsamp, true);
    double bigout = (double)filesize(bigmat) / 1e6;
    printf("large file: %d tokens x %d samples, %.1f MB read, %.1f MB written in %.3f s "
           "(%.1f MB/s)\n",
           o.bigtok, o.bigsamp, bigin, bigout, b.secs, (bigin + bigout) / b.secs);
    printf("peak RSS of ravlox on the large file: %ld KB (%.2f MB; target <= 16 MB)\n", b.maxrss,
           b.maxrss / 1024.0);
    if (o.rsslimit > 0 && b.maxrss > o.rsslimit)
        die("peak RSS " + std::to_string(b.maxrss) + " KB is above the limit of " +
            std::to_string(o.rsslimit) + " KB");
    return 0;
}
