#include "driver.h"

#include "messages.h"
#include "../common/fileio.h"
#include "../common/le.h"
#include "../common/state.h"
#include "../matout/convert.h"
#include "../matout/matwr.h"
#include "../tokenfile/tokenfile.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A growing text buffer; the path of the file in hand and its output name
// live in two of them, with room for the longer extension.
struct pathbuf {
    char *s;
    size_t cap;
};

void setpath(pathbuf *b, const char *text)
{
    size_t need = strlen(text) + 8;
    if (need > b->cap) {
        char *s = (char *)realloc(b->s, need);
        if (!s) {
            fputs("ravlox: out of memory\n", stderr);
            exit(0);
        }
        b->s = s;
        b->cap = need;
    }
    strcpy(b->s, text);
}

void reject(const char *arg, const char *why)
{
    printf(fmt_reject, arg, why);
}

// Why the open file in tfp can't be converted, or null when it can.
const char *refusal(const char *outname)
{
    if (rd16(tfp->hdr + h_ftype) != tok_ftype)
        return msg_notoken;
    if (memcmp(tfp->hdr + h_kind, "TEOAE", h_kindlen) != 0)
        return msg_unknown;
    if (rd16(tfp->hitch + x_npts) < 0)
        return msg_badsize;
    if (samefile(tfp->fd, outname))
        return msg_overwrite;
    return nullptr;
}

} // namespace

void usage()
{
    fputs(msg_usage, stdout);
    exit(0);
}

int32_t calc_rate(int16_t rate_exp, int16_t rate_man)
{
    double r = pow(10.0, (double)rate_exp) * (double)rate_man;
    if (!(r > -2147483649.0 && r < 2147483648.0))
        return INT32_MIN;
    return (int32_t)r;
}

int ravlox_main(int argc, char **argv)
{
    if (argc < 2)
        usage();
    pathbuf path = {nullptr, 0}, out = {nullptr, 0};
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] == '-')
            continue;
        setpath(&path, arg);
        tfp = topen(path.s);
        if (!tfp) {
            reject(arg, msg_cantopen);
            continue;
        }
        setpath(&out, arg);
        newext(out.s, "mat");
        if (const char *why = refusal(out.s)) {
            tclose(tfp);
            tfp = nullptr;
            reject(arg, why);
            continue;
        }
        npts = rd16(tfp->hitch + x_npts);
        rate = calc_rate(rd16(tfp->hdr + h_rate_exp), rd16(tfp->hdr + h_rate_man));
        ntok = rd16(tfp->hitch + x_ntok);
        printf(fmt_summary, path.s, ntok, npts, rate);

        if (convert_file(path.s) != 0) {
            int e = errno;
            fflush(stdout);
            fprintf(stderr, fmt_cantwrite, path.s, strerror(e));
        } else if (tfp->missing) {
            fflush(stdout);
            fprintf(stderr, fmt_missing, arg);
        }
        tclose(tfp);
        tfp = nullptr;
    }
    putchar('\n');
    free(path.s);
    free(out.s);
    return 0;
}
