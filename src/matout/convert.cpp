// SPDX-License-Identifier: MIT
#include "convert.h"

#include "../common/state.h"
#include "../common/fileio.h"
#include "../common/le.h"
#include "../tokenfile/tokenfile.h"
#include "matwr.h"

#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file being written, removed if the run is stopped by a
// signal. tmplive is set exactly while a file of ours exists under
// tmpname, and the name does not change while it is set. With the signals
// caught, they are held while the file comes into being, is renamed into
// place or is removed, so that a signal never finds the two out of step.
char *tmpname = nullptr;
size_t tmpcap = 0;
volatile sig_atomic_t tmplive = 0;

#ifndef _WIN32
sigset_t caughtset;
bool caught = false;

struct held {
    sigset_t old;
};

void hold(held *h)
{
    if (caught)
        sigprocmask(SIG_BLOCK, &caughtset, &h->old);
}

void release(const held *h)
{
    if (caught)
        sigprocmask(SIG_SETMASK, &h->old, nullptr);
}
#else
struct held {
};
void hold(held *) {}
void release(const held *) {}
#endif

extern "C" void onsignal(int sig)
{
    if (tmplive)
        unlink(tmpname);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Creates the temporary file in the directory of out. Returns its
// descriptor, or -1 with errno set.
int mktemp_beside(const char *out)
{
    static const char pattern[] = ".ravlox-XXXXXX";
    size_t dir = dirlen(out);
    size_t need = dir + sizeof pattern;
    if (need > tmpcap) {
        char *s = (char *)realloc(tmpname, need);
        if (!s) {
            errno = ENOMEM;
            return -1;
        }
        tmpname = s;
        tmpcap = need;
    }
    memcpy(tmpname, out, dir);
    memcpy(tmpname + dir, pattern, sizeof pattern);
    held h;
    hold(&h);
    int fd = mkstemp(tmpname);
    if (fd >= 0)
        tmplive = 1;
    release(&h);
    return fd;
}

void droptemp()
{
    int e = errno;
    held h;
    hold(&h);
    unlink(tmpname);
    tmplive = 0;
    release(&h);
    errno = e;
}

// Renames the finished temporary file over out. Returns 0, or -1 with
// errno set.
int putinplace(const char *out)
{
    held h;
    hold(&h);
    int r = replacefile(tmpname, out);
    if (r == 0)
        tmplive = 0;
    release(&h);
    return r;
}

// Puts src[j] x scale, rounded once to single, at dst + 4j (native byte
// order, no alignment assumed) for j below n. The samples go in groups of
// 8, so that the compiler turns the inner loops into vector instructions,
// then one by one to the end.
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
    int32_t whole = n - n % 8;
    float fs = (float)scale;
    if ((double)fs == scale) {
        for (int32_t j = 0; j < whole; j += 8)
            for (int32_t k = 0; k < 8; k++) {
                float v = (float)src[j + k] * fs;
                memcpy(dst + 4 * (j + k), &v, 4);
            }
        for (int32_t j = whole; j < n; j++) {
            float v = (float)src[j] * fs;
            memcpy(dst + 4 * j, &v, 4);
        }
    } else {
        for (int32_t j = 0; j < whole; j += 8)
            for (int32_t k = 0; k < 8; k++) {
                float v = (float)(src[j + k] * scale);
                memcpy(dst + 4 * (j + k), &v, 4);
            }
        for (int32_t j = whole; j < n; j++) {
            float v = (float)(src[j] * scale);
            memcpy(dst + 4 * j, &v, 4);
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

float onenan(double v)
{
    return v != v ? std::bit_cast<float>(0x7fc00000u) : (float)v;
}

void tokconv(tfile *tf, int32_t i, int16_t np, int16_t *raw, unsigned char *dst, figures *fig)
{
    tread(raw, i, tf);
    const unsigned char *car = tf->car;
    int16_t nswp = rd16(car + c_nswp);
    int32_t snum = rd32(car + c_scale_num);
    int16_t sden = rd16(car + c_scale_den);
    scale16(dst, raw, np, sden > 0 ? (double)snum / (double)sden : 1.0);
    calib c = calibrate(nswp, snum, sden, rdf32(car + c_cal_gain), rdf32(car + c_cal_cpv),
                        rdf32(car + c_cal_vpp));
    fig->reps = (int16_t)(2 * nswp);
    fig->vpc = c.vpc;
    fig->ppc = c.ppc;
}

int convert_file(const char *out, outinfo *o)
{
    // An existing output is replaced only where the user may write it: a
    // read-only MAT-file stays as it is.
    bool replace = o->exists && S_ISREG(o->st.st_mode);
    if (o->exists && S_ISDIR(o->st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    if (replace && access(out, W_OK) != 0)
        return -1;
    int fd = mktemp_beside(out);
    if (fd < 0)
        return -1;

    figures fig = {swp1set, cal_vpc, cal_ppc};
    matout mo = {fd, 0, 0};
    float r = (float)rate;
    mat_wr(&mo, "TEOAE_TOK", &ntok, 1, 3);
    mat_wr(&mo, "rate", &r, 1, 1);
    mat_wr(&mo, "npts", &npts, 1, 3);
    for (int32_t i = 1; i <= ntok && !mo.err; i++) {
        char name[16];
        tokname(name, i);
        // Scaled straight into the writer's buffer where it takes them,
        // else through accbuf.
        unsigned char *room = mat_room(&mo, name, npts);
        tokconv(tfp, i, npts, outbuf, room ? room : (unsigned char *)accbuf, &fig);
        if (!room)
            mat_wr(&mo, name, accbuf, npts, 1);
    }
    float ppc = onenan(fig.ppc), vpc = onenan(fig.vpc);
    mat_wr(&mo, "reps", &fig.reps, 1, 3);
    mat_wr(&mo, "ppc", &ppc, 1, 1);
    mat_wr(&mo, "vpc", &vpc, 1, 1);

    int err = mat_flush(&mo) != 0 ? mo.err : 0;
    if (!err && replace)
        keepmeta(fd, out, &o->st);
    fileid id;
    bool hasid = fdid(fd, &id);
    if (close(fd) != 0 && !err)
        err = errno;
    if (!err && putinplace(out) != 0)
        err = errno;
    if (err) {
        droptemp();
        errno = err;
        return -1;
    }
    swp1set = fig.reps;
    cal_vpc = fig.vpc;
    cal_ppc = fig.ppc;
    o->hasid = hasid;
    o->id = id;
    return 0;
}

void catchsignals()
{
#ifndef _WIN32
    static const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
    sigemptyset(&caughtset);
    for (int sig : sigs)
        sigaddset(&caughtset, sig);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onsignal;
    sa.sa_mask = caughtset;
    for (int sig : sigs) {
        struct sigaction was;
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
            sigaction(sig, &sa, nullptr);
    }
    signal(SIGXFSZ, SIG_IGN);
    caught = true;
#else
    signal(SIGINT, onsignal);
    signal(SIGTERM, onsignal);
#endif
}
