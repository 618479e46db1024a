#include "convert.h"

#include "../common/state.h"
#include "../common/fileio.h"
#include "../common/le.h"
#include "../tokenfile/tokenfile.h"
#include "matwr.h"

#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file being written, removed if the run is interrupted.
// Between conversions it may hold the output that the last conversion
// replaced (see openspare): then spare is set, and the file is removed when
// the program ends.
std::string tmpname;
volatile sig_atomic_t tmplive = 0;
bool spare = false;

void dropspare()
{
    if (spare && tmplive)
        unlink(tmpname.c_str());
    spare = false;
    tmplive = 0;
}

extern "C" void onsignal(int sig)
{
    if (tmplive)
        unlink(tmpname.c_str());
    signal(sig, SIG_DFL);
    raise(sig);
}

void catchsignals()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    signal(SIGINT, onsignal);
    signal(SIGTERM, onsignal);
#ifdef SIGHUP
    signal(SIGHUP, onsignal);
#endif
#if defined(F_SETLEASE) && defined(SIGIO)
    // A lease broken by another program's open is told by SIGIO, which
    // would end the program; openspare holds one only for an instant.
    signal(SIGIO, SIG_IGN);
#endif
    atexit(dropspare);
}

// Creates the temporary file in the directory of out. Returns its
// descriptor, or -1 with errno set.
int mktemp_beside(const char *out)
{
    tmpname.assign(out, dirlen(out));
    tmpname += ".ravlox-XXXXXX";
    int fd = mkstemp(tmpname.data());
    if (fd >= 0)
        tmplive = 1;
    return fd;
}

// A NaN's sign and payload depend on the processor that made it (x86-64
// makes 0 / 0 negative, s390x positive) and on the NaN it came from; every
// NaN is written as the one positive quiet NaN, so that the MAT-file has
// the same bytes on every host.
float onenan(double v)
{
    return v != v ? std::bit_cast<float>(0x7fc00000u) : (float)v;
}

void droptemp()
{
    int e = errno;
    unlink(tmpname.c_str());
    tmplive = 0;
    spare = false;
    errno = e;
}

// Replacing an output by renaming a new file over it makes the file system
// release the old file's blocks, and ext4 then also starts writing the new
// one out at once; in a batch over existing outputs that is most of the time
// spent. So the old output is swapped out instead (the two names trade
// places in one step, so the output name always holds a whole file) and its
// blocks are reused for the next output, written over in place. The last
// one is removed when the program ends (or is stopped by a signal).
//
// What this gives up: ext4 writes a file renamed over another out before
// the rename reaches the disk, so that a machine crash right after it leaves
// the old or the new output. Swapped names get no such ordering; after a
// crash of the machine (not of the program) within the next half minute an
// output may hold stale bytes. No fsync is made either way.

// Opens the spare for writing over, when it lies in the folder of out and
// nothing else can see it change: a regular file of ours with no other name
// and no other open descriptor. Returns its descriptor and sets *mode and
// *size to its permissions and length, or returns -1 after removing it.
int openspare(const char *out, mode_t *mode, int64_t *size)
{
    if (!spare)
        return -1;
    spare = false;
    size_t dir = dirlen(out);
    int fd = -1;
#if defined(F_SETLEASE) && defined(O_NOFOLLOW)
    static const uid_t me = geteuid();
    if (tmpname.size() > dir && tmpname.compare(0, dir, out, dir) == 0 &&
        tmpname.find('/', dir) == std::string::npos)
        fd = open(tmpname.c_str(), O_RDWR | O_BINARY | O_NOFOLLOW);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
                    st.st_uid != me || fcntl(fd, F_SETLEASE, F_WRLCK) != 0)) {
        close(fd);
        fd = -1;
    }
    if (fd >= 0) {
        fcntl(fd, F_SETLEASE, F_UNLCK);
        *mode = st.st_mode & 07777;
        *size = (int64_t)st.st_size;
    }
#else
    (void)mode;
    (void)size;
#endif
    if (fd < 0)
        droptemp();
    return fd;
}

// Puts the finished temporary file in place under out: swapped with an
// existing output, which becomes the spare, or else renamed. Returns 0, or
// -1 with errno set.
int putinplace(const char *out, bool exists)
{
#if defined(RENAME_EXCHANGE) && defined(F_SETLEASE)
    if (exists && renameat2(AT_FDCWD, tmpname.c_str(), AT_FDCWD, out, RENAME_EXCHANGE) == 0) {
        spare = true;
        return 0;
    }
#else
    (void)exists;
#endif
    if (replacefile(tmpname.c_str(), out) != 0)
        return -1;
    tmplive = 0;
    return 0;
}

// Puts src[j] x scale, rounded once to single, at dst + 4j (native byte
// order, no alignment assumed) for j below n. Whole groups of 8 are done, so
// that the compiler turns the inner loops into vector instructions; dst must
// have room for the up to 7 values past n that this may write, and src must
// hold them (outbuf holds whole blocks).
//
// When scale is itself a single (1, 100, -7, a power of two ...), one single
// multiply gives the same bits as the double product rounded to single: a
// sample has at most 16 significant bits and the scale 24, so the double
// product is exact, and both ways round that exact value once. The single
// loop is several times faster.
//
// On x86-64 a second copy is built for AVX2, twice as wide, and chosen at
// run time where the processor has it; both give the same bits.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__ELF__)
__attribute__((target_clones("avx2", "default")))
#endif
void scale16(unsigned char *dst, const int16_t *src, int32_t n, double scale)
{
    static_assert(maxsamp % 8 == 0, "the buffers hold whole groups of 8");
    float fs = (float)scale;
    if ((double)fs == scale) {
        for (int32_t j = 0; j < n; j += 8)
            for (int32_t k = 0; k < 8; k++) {
                float v = (float)src[j + k] * fs;
                memcpy(dst + 4 * (j + k), &v, 4);
            }
    } else {
        for (int32_t j = 0; j < n; j += 8)
            for (int32_t k = 0; k < 8; k++) {
                float v = (float)(src[j + k] * scale);
                memcpy(dst + 4 * (j + k), &v, 4);
            }
    }
}

// "tok" and the decimal number i (1 to 32767), as "tok%d" prints it.
void tokname(char *name, int32_t i)
{
    char digits[8];
    int nd = 0;
    do {
        digits[nd++] = (char)('0' + i % 10);
        i /= 10;
    } while (i > 0);
    memcpy(name, "tok", 3);
    for (int k = 0; k < nd; k++)
        name[3 + k] = digits[nd - 1 - k];
    name[3 + nd] = 0;
}

} // namespace

calib calibrate(int16_t nswp, int32_t scale_num, int16_t scale_den, float cal_gain,
                float cal_cpv, float cal_vpp)
{
    calib c;
    if (cal_cpv > 1000.0f && cal_cpv < 1e9f && (double)cal_vpp > 1e-6 && cal_vpp < 1e6f) {
        c.vpc = 1.0 / (double)cal_cpv;
        c.ppc = c.vpc / (double)cal_vpp;
    } else if (scale_den > 0) {
        double scale = (double)scale_num / (double)scale_den;
        double full = (double)nswp * (double)cal_gain * cpv_full;
        c.vpc = vpc_default;
        c.ppc = vpc_default / (scale / full);
    } else {
        c.vpc = vpc_default;
        c.ppc = vpc_default;
    }
    return c;
}

int convert_file(char *path)
{
    newext(path, "mat");

    // Replace an existing output only where it could be written in place:
    // a read-only MAT-file stays as it is.
    struct stat st;
    bool exists = stat(path, &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    if (exists && access(path, W_OK) != 0)
        return -1;

    catchsignals();
    mode_t had = 0;
    int64_t hadsize = 0;
    int fd = openspare(path, &had, &hadsize);
    bool reused = fd >= 0;
    if (!reused)
        fd = mktemp_beside(path);
    if (fd < 0)
        return -1;
    // The output keeps the permissions of the file it replaces; a new one
    // is its owner's alone, as mkstemp makes it.
    mode_t want = exists && S_ISREG(st.st_mode) ? st.st_mode & 07777 : 0600;
    if ((reused && had != want) || (!reused && exists && S_ISREG(st.st_mode)))
        keepmode(fd, (unsigned)want);

    int16_t swp0 = swp1set;
    double vpc0 = cal_vpc, ppc0 = cal_ppc;

    matout mo = {fd, 0, 0};
    float r = (float)rate;
    mat_wr(&mo, "TEOAE_TOK", &ntok, 1, 3);
    mat_wr(&mo, "rate", &r, 1, 1);
    mat_wr(&mo, "npts", &npts, 1, 3);

    for (int32_t i = 1; i <= ntok && !mo.err; i++) {
        char name[16];
        tokname(name, i);
        tread(outbuf, i, tfp);
        const unsigned char *car = tfp->car;
        int16_t nswp = rd16(car + c_nswp);
        int32_t snum = rd32(car + c_scale_num);
        int16_t sden = rd16(car + c_scale_den);
        swp1set = (int16_t)(2 * nswp);
        double scale = sden > 0 ? (double)snum / (double)sden : 1.0;
        // Scaled straight into the writer's buffer where it takes them,
        // else through accbuf.
        unsigned char *room = mat_room(&mo, name, npts);
        scale16(room ? room : (unsigned char *)accbuf, outbuf, npts, scale);
        calib c = calibrate(nswp, snum, sden, rdf32(car + c_cal_gain), rdf32(car + c_cal_cpv),
                            rdf32(car + c_cal_vpp));
        cal_vpc = c.vpc;
        cal_ppc = c.ppc;
        if (!room)
            mat_wr(&mo, name, accbuf, npts, 1);
    }

    float ppc = onenan(cal_ppc), vpc = onenan(cal_vpc);
    mat_wr(&mo, "reps", &swp1set, 1, 3);
    mat_wr(&mo, "ppc", &ppc, 1, 1);
    mat_wr(&mo, "vpc", &vpc, 1, 1);

    int bad = mat_flush(&mo);
    int err = mo.err;
    if (!bad && reused) {
        // Cut off what is left of the old file beyond the new end.
        off_t end = lseek(fd, 0, SEEK_CUR);
        if (end < 0 || ((int64_t)end < hadsize && ftruncate(fd, end) != 0)) {
            bad = -1;
            err = errno;
        }
    }
    if (close(fd) != 0 && !bad) {
        bad = -1;
        err = errno;
    }
    if (!bad && putinplace(path, exists && S_ISREG(st.st_mode)) != 0) {
        bad = -1;
        err = errno;
    }
    if (bad) {
        errno = err;
        droptemp();
        swp1set = swp0;
        cal_vpc = vpc0;
        cal_ppc = ppc0;
        return -1;
    }
    return 0;
}
