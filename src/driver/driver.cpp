// SPDX-License-Identifier: MIT
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
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

namespace {

// A growing text buffer; the path of the file in hand, its output name and
// the line being formatted live in three of them.
struct pathbuf {
    char *s;
    size_t cap;
};

bool grow(pathbuf *b, size_t need)
{
    if (need <= b->cap)
        return true;
    char *s = (char *)realloc(b->s, need);
    if (!s)
        return false;
    b->s = s;
    b->cap = need;
    return true;
}

// Copies text into b, with room for the longer extension of an output name.
bool setpath(pathbuf *b, const char *text)
{
    if (!grow(b, strlen(text) + 8))
        return false;
    strcpy(b->s, text);
    return true;
}

// Puts len bytes of text out through t: one write, or into memory.
void put(textout *t, const char *text, size_t len)
{
    if (t->fd >= 0) {
        if (wrfull(t->fd, (const unsigned char *)text, (int64_t)len) != 0 && !t->err)
            t->err = errno ? errno : EIO;
        return;
    }
    if (t->len + len + 1 > t->cap) {
        size_t cap = (t->len + len + 1) * 2;
        char *s = (char *)realloc(t->buf, cap);
        if (!s) {
            if (!t->err)
                t->err = ENOMEM;
            return;
        }
        t->buf = s;
        t->cap = cap;
    }
    memcpy(t->buf + t->len, text, len);
    t->len += len;
    t->buf[t->len] = 0;
}

// The streams of the run in hand.
textout *outs = nullptr, *errs = nullptr;
pathbuf linebuf = {nullptr, 0};
bool outtold = false;

// Formats one line into linebuf and puts it out through t whole. Returns
// false when there is no memory for it.
bool vsay(textout *t, const char *fmt, va_list ap)
{
    va_list aq;
    va_copy(aq, ap);
    int n = vsnprintf(linebuf.s, linebuf.cap, fmt, ap);
    if (n >= 0 && (size_t)n >= linebuf.cap) {
        if (!grow(&linebuf, (size_t)n + 1)) {
            va_end(aq);
            return false;
        }
        vsnprintf(linebuf.s, linebuf.cap, fmt, aq);
    }
    va_end(aq);
    if (n > 0)
        put(t, linebuf.s, (size_t)n);
    return true;
}

// A line on the error stream.
bool warn(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    bool ok = vsay(errs, fmt, ap);
    va_end(ap);
    return ok;
}

// A line on standard output; the first time writing it fails, the error
// stream says so.
bool say(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    bool ok = vsay(outs, fmt, ap);
    va_end(ap);
    if (outs->err && !outtold) {
        outtold = true;
        warn(fmt_stdout, strerror(outs->err));
    }
    return ok;
}

// The outputs this run has written, by the identity of the file, each with
// the input it was written from: a later file that replaces one of them
// from another input is a collision worth a warning.
struct madefrom {
    bool hasin;
    fileid in;
    std::string arg;
};

struct idhash {
    size_t operator()(const fileid &f) const
    {
        return std::hash<uint64_t>()(f.ino ^ (f.dev * 0x9e3779b97f4a7c15ull));
    }
};

struct ideq {
    bool operator()(const fileid &a, const fileid &b) const { return sameid(a, b); }
};

using madetable = std::unordered_map<fileid, madefrom, idhash, ideq>;

} // namespace

void usage()
{
    textout o = {1, nullptr, 0, 0, 0};
    put(&o, msg_usage, strlen(msg_usage));
    exit(0);
}

int32_t calc_rate(int16_t rate_exp, int16_t rate_man)
{
    double r = pow(10.0, (double)rate_exp) * (double)rate_man;
    if (!(r > -2147483649.0 && r < 2147483648.0))
        return INT32_MIN;
    return (int32_t)r;
}

const char *refusal(const tfile *tf)
{
    if (rd16(tf->hdr + h_ftype) != tok_ftype)
        return msg_notoken;
    if (memcmp(tf->hdr + h_kind, "TEOAE", h_kindlen) != 0)
        return msg_unknown;
    if (rd16(tf->hitch + x_npts) < 0)
        return msg_badsize;
    return nullptr;
}

tsummary summarize(const tfile *tf)
{
    return {rd16(tf->hitch + x_ntok), rd16(tf->hitch + x_npts),
            calc_rate(rd16(tf->hdr + h_rate_exp), rd16(tf->hdr + h_rate_man))};
}

const char *openfailure(int why)
{
    switch (why) {
    case topen_notreg:
        return msg_notreg;
    case topen_empty:
        return msg_empty;
    case topen_nomark:
        return msg_nomark;
    default:
        return strerror(why > 0 ? why : EIO);
    }
}

int ravlox_run(int argc, char **argv, textout *out, textout *err)
{
    outs = out;
    errs = err;
    outtold = false;
    if (argc < 2) {
        put(out, msg_usage, strlen(msg_usage));
        return 0;
    }
    swp1set = fig_start.reps;
    cal_vpc = fig_start.vpc;
    cal_ppc = fig_start.ppc;

    pathbuf path = {nullptr, 0}, outname = {nullptr, 0};
    madetable made;
    bool ok = true;
    for (int i = 1; i < argc && ok; i++) {
        const char *arg = argv[i];
        if (arg[0] == '-')
            continue;
        if (!setpath(&path, arg) || !setpath(&outname, arg)) {
            ok = false;
            break;
        }
        int why = 0;
        tfp = topen(path.s, &why);
        if (!tfp) {
            ok = say(fmt_reject, arg, msg_cantopen) && warn(fmt_cantopen, arg, openfailure(why));
            continue;
        }
        const char *no = refusal(tfp);
        newext(outname.s, "mat");
        outinfo o;
        fileid in;
        bool hasin = false;
        if (!no) {
            hasin = fdid(tfp->fd, &in);
            lookout(outname.s, &o);
            if (hasin && o.exists && o.hasid && sameid(in, o.id))
                no = msg_overwrite;
        }
        if (no) {
            tclose(tfp);
            tfp = nullptr;
            ok = say(fmt_reject, arg, no);
            continue;
        }
        tsummary sum = summarize(tfp);
        ntok = sum.ntok;
        npts = sum.npts;
        rate = sum.rate;
        ok = say(fmt_summary, path.s, ntok, npts, rate);

        bool had = o.exists && o.hasid;
        fileid was = o.id;
        if (convert_file(outname.s, &o) != 0) {
            ok = ok && warn(fmt_cantwrite, outname.s, strerror(errno));
        } else {
            if (tfp->missing)
                ok = ok && warn(fmt_missing, arg);
            auto it = had ? made.find(was) : made.end();
            if (it != made.end()) {
                if (!(hasin && it->second.hasin && sameid(in, it->second.in)))
                    ok = ok && warn(fmt_collide, outname.s, it->second.arg.c_str(), arg);
                made.erase(it);
            }
            if (o.hasid)
                made[o.id] = madefrom{hasin, in, arg};
        }
        tclose(tfp);
        tfp = nullptr;
    }
    if (ok)
        say("\n");
    else
        put(err, msg_nomem, strlen(msg_nomem));
    free(path.s);
    free(outname.s);
    return 0;
}

int ravlox_main(int argc, char **argv)
{
    if (argc < 2)
        usage();
    textout out = {1, nullptr, 0, 0, 0}, err = {2, nullptr, 0, 0, 0};
    return ravlox_run(argc, argv, &out, &err);
}
