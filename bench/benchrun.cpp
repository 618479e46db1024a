// The batch-conversion benchmark: ravlox against the I/O floor.
//
//     benchrun --ravlox PATH --floor PATH [--tiny] [--files N] [--tokens N]
//              [--samples N] [--rounds N] [--warmup N] [--big-tokens N]
//              [--big-samples N] [--rss-limit KB]
//     benchrun --make DIR [--files N] [--tokens N] [--samples N]
//
// It builds a workload of TOKEN files with the test suite's builder in a
// fresh folder under $TMPDIR (or /tmp), runs the floor and ravlox over the
// whole folder in interleaved rounds after a warm-up, and prints the median
// time of each with its files/s and MB/s (bytes read plus bytes written, per
// second, MB = 10^6 bytes), and the median, lowest and highest of the
// per-round ratios ravlox/floor. Then it converts one large file and prints
// the peak resident memory of ravlox doing so. The folder is removed at the
// end. With --make it only writes the workload files into DIR (which must
// exist), for profiling by hand.
//
// No figure is judged: timings on a shared machine are noisy, which is why
// the rounds are interleaved and the spread is shown. What does make the run
// fail (status 1) is a conversion that went wrong: a nonzero exit status, an
// output of the wrong size, a MAT-file that does not parse, or a peak
// resident memory above --rss-limit when one is given.
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

// Checks that every output exists with the size a MAT-file of ntok tokens of
// npts samples has, and that the first one parses with the right variables.
void checkout(const std::vector<std::string> &outs, int ntok, int npts)
{
    int64_t want = matsize(ntok, npts);
    for (const std::string &o : outs)
        if (filesize(o) != want)
            die(o + ": size " + std::to_string(filesize(o)) + ", expected " +
                std::to_string(want));
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

// The workload folder, removed however the run ends.
std::string workdir;

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

    std::vector<std::string> rav = {o.ravlox}, flo = {o.floor, std::to_string(outsz)};
    rav.insert(rav.end(), cals.begin(), cals.end());
    flo.insert(flo.end(), cals.begin(), cals.end());

    auto go = [](const std::vector<std::string> &argv, const char *what) {
        runout r = timed(argv);
        if (r.status != 0)
            die(std::string(what) + " exited with status " + std::to_string(r.status));
        return r;
    };

    for (int w = 0; w < o.warmup; w++) {
        go(rav, "ravlox");
        go(flo, "the floor");
    }
    std::vector<double> tf, tr, ratio;
    long batchrss = 0;
    for (int r = 0; r < o.rounds; r++) {
        runout a = go(flo, "the floor");
        runout b = go(rav, "ravlox");
        tf.push_back(a.secs);
        tr.push_back(b.secs);
        ratio.push_back(b.secs / a.secs);
        batchrss = std::max(batchrss, b.maxrss);
    }
    checkout(mats, o.tokens, o.samples);
    std::string load1 = loadavg();

    double mf = median(tf), mr = median(tr);
    printf("workload: %d files of %d tokens x %d samples, stored calibration: "
           "%.1f MB read, %.1f MB written per run\n",
           o.files, o.tokens, o.samples, inmb, outmb);
    printf("rounds:   %d, interleaved floor/ravlox, after %d warm-up round%s\n", o.rounds,
           o.warmup, o.warmup == 1 ? "" : "s");
    printf("floor:    median %.4f s  %8.1f files/s  %7.1f MB/s\n", mf, o.files / mf,
           (inmb + outmb) / mf);
    printf("ravlox:   median %.4f s  %8.1f files/s  %7.1f MB/s  (peak RSS %ld KB)\n", mr,
           o.files / mr, (inmb + outmb) / mr, batchrss);
    printf("ratio ravlox/floor: median %.3f  min %.3f  max %.3f  (target <= 1.2)\n",
           median(ratio), *std::min_element(ratio.begin(), ratio.end()),
           *std::max_element(ratio.begin(), ratio.end()));
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
    runout b = go({o.ravlox, big}, "ravlox");
    checkout({bigmat}, o.bigtok, o.bigsamp);
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
