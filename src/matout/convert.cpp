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
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file being written, removed if the run is interrupted.
std::string tmpname;
volatile sig_atomic_t tmplive = 0;

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
    errno = e;
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
    int fd = mktemp_beside(path);
    if (fd < 0)
        return -1;
    if (exists && S_ISREG(st.st_mode))
        keepmode(fd, (unsigned)st.st_mode);

    int16_t swp0 = swp1set;
    double vpc0 = cal_vpc, ppc0 = cal_ppc;

    matout mo = {fd, 0, 0};
    float r = (float)rate;
    mat_wr(&mo, "TEOAE_TOK", &ntok, 1, 3);
    mat_wr(&mo, "rate", &r, 1, 1);
    mat_wr(&mo, "npts", &npts, 1, 3);

    for (int32_t i = 1; i <= ntok && !mo.err; i++) {
        char name[16];
        snprintf(name, sizeof name, "tok%d", (int)i);
        tread(outbuf, i, tfp);
        const unsigned char *car = tfp->car;
        int16_t nswp = rd16(car + c_nswp);
        int32_t snum = rd32(car + c_scale_num);
        int16_t sden = rd16(car + c_scale_den);
        swp1set = (int16_t)(2 * nswp);
        double scale = sden > 0 ? (double)snum / (double)sden : 1.0;
        for (int32_t j = 0; j < npts; j++)
            accbuf[j] = (float)(outbuf[j] * scale);
        calib c = calibrate(nswp, snum, sden, rdf32(car + c_cal_gain), rdf32(car + c_cal_cpv),
                            rdf32(car + c_cal_vpp));
        cal_vpc = c.vpc;
        cal_ppc = c.ppc;
        mat_wr(&mo, name, accbuf, npts, 1);
    }

    float ppc = onenan(cal_ppc), vpc = onenan(cal_vpc);
    mat_wr(&mo, "reps", &swp1set, 1, 3);
    mat_wr(&mo, "ppc", &ppc, 1, 1);
    mat_wr(&mo, "vpc", &vpc, 1, 1);

    int bad = mat_flush(&mo);
    int err = mo.err;
    if (close(fd) != 0 && !bad) {
        bad = -1;
        err = errno;
    }
    if (!bad && replacefile(tmpname.c_str(), path) != 0) {
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
    tmplive = 0;
    return 0;
}
