// SPDX-License-Identifier: MIT
#include "tokenfile.h"

#include "../common/fileio.h"
#include "../common/le.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One released handle is kept for the next topen: a batch run opens one
// file after another, and the handle with its windows is large. Taken and
// put back atomically, for callers in several threads.
std::atomic<tfile *> spare{nullptr};

tfile *refuse(int *why, int code)
{
    if (why)
        *why = code;
    return nullptr;
}

// Byte position of block blk, or -1 when it is negative or does not fit a
// signed 32-bit offset.
int64_t blkpos(int64_t blk)
{
    int64_t pos = blk * blksz;
    return (blk < 0 || pos > INT32_MAX) ? -1 : pos;
}

// How many of the len bytes at pos the file holds, so that no read is spent
// on finding its end.
int32_t held(const tfile *tf, int64_t pos, int32_t len)
{
    int64_t left = tf->size - pos;
    return left <= 0 ? 0 : left < len ? (int32_t)left : len;
}

// Copies len bytes at pos into dst through window w (of cap bytes), zeroing
// what the file does not hold. Returns the number of bytes from the file.
// Kept out of line: inlined with a constant len (a car), the copy becomes a
// "rep movsq" that costs more than the library's memcpy.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
int32_t wget(tfile *tf, twin *w, unsigned char *wbuf, int32_t cap, int64_t pos,
             unsigned char *dst, int32_t len)
{
    if (len <= 0)
        return 0;
    if (pos < 0) {
        memset(dst, 0, (size_t)len);
        return 0;
    }
    if (len > cap) {
        int32_t got = rdfull(tf->fd, pos, dst, held(tf, pos, len));
        memset(dst + got, 0, (size_t)(len - got));
        return got;
    }
    bool inside = w->pos >= 0 && pos >= w->pos && pos - w->pos <= cap &&
                  (pos + len <= w->pos + w->len || w->eof);
    if (!inside) {
        w->pos = pos;
        w->len = rdfull(tf->fd, pos, wbuf, held(tf, pos, cap));
        w->eof = w->len < cap;
    }
    int64_t off = pos - w->pos;
    int64_t avail = w->len - off;
    int32_t got = avail <= 0 ? 0 : avail < len ? (int32_t)avail : len;
    if (got > 0)
        memcpy(dst, wbuf + off, (size_t)got);
    memset(dst + got, 0, (size_t)(len - got));
    return got;
}

int32_t metaget(tfile *tf, int64_t pos, unsigned char *dst, int32_t len)
{
    return wget(tf, &tf->wmeta, tf->metabuf, metawin, pos, dst, len);
}

} // namespace

tfile *topen(const char *path, int *why)
{
#ifdef O_NONBLOCK
    // Non-blocking, so that a FIFO named by mistake is refused below instead
    // of waiting for a writer. The flag is left set: it does not change how
    // a regular file reads.
    int fd = open(path, O_RDONLY | O_BINARY | O_NONBLOCK);
#else
    int fd = open(path, O_RDONLY | O_BINARY);
#endif
    struct stat st;
    if (fd < 0) {
        // Windows refuses to open a folder with "Permission denied".
        int e = errno;
        if (e == EACCES && stat(path, &st) == 0 && S_ISDIR(st.st_mode))
            e = EISDIR;
        return refuse(why, e);
    }
    int bad = 0;
    if (fstat(fd, &st) != 0)
        bad = errno;
    else if (S_ISDIR(st.st_mode))
        bad = EISDIR;
    else if (!S_ISREG(st.st_mode))
        bad = topen_notreg;
    else if (st.st_size == 0)
        bad = topen_empty;
    if (bad) {
        close(fd);
        return refuse(why, bad);
    }
    tfile *tf = spare.exchange(nullptr);
    if (!tf)
        tf = (tfile *)malloc(sizeof(tfile));
    if (!tf) {
        close(fd);
        return refuse(why, ENOMEM);
    }
    // Everything but the window buffers starts out zero; the buffers are
    // only ever read where a read from this file filled them.
    memset(tf, 0, offsetof(tfile, metabuf));
    tf->fd = fd;
    tf->size = (int64_t)st.st_size;
    tf->wmeta.pos = -1;
    tf->wdata.pos = -1;

    trdheader(tf);
    if (rd16(tf->hdr + h_marker) != tok_marker) {
        tclose(tf);
        return refuse(why, topen_nomark);
    }
    trdhitch(tf);
    // The car loaded here is only the file's current car; the conversion
    // loads every car it uses itself, so a short one here is no loss.
    bool missing = tf->missing;
    int16_t cur = rd16(tf->hitch + x_cur_car);
    if (cur > 0)
        trdcar(cur, tf);
    tf->missing = missing;
    return tf;
}

int32_t trdheader(tfile *tf)
{
    return metaget(tf, 0, tf->hdr, hdrsz);
}

int32_t trdhitch(tfile *tf)
{
    int64_t blk = (int64_t)rd16(tf->hdr + h_last) + 1;
    int32_t got = metaget(tf, blkpos(blk), tf->hitch, hitchsz);
    tf->hitchgot = got;
    if (got < x_used)
        tf->missing = true;
    return got;
}

int32_t trdcar(int32_t n, tfile *tf)
{
    int64_t blk = (int64_t)rd16(tf->hdr + h_last) + 1 + n;
    int32_t got = metaget(tf, blkpos(blk), tf->car, carsz);
    tf->cargot = got;
    if (got < carsz)
        tf->missing = true;
    return got;
}

int32_t trddata(int16_t *buffer, int32_t, tfile *tf)
{
    int16_t np = rd16(tf->hitch + x_npts);
    int32_t nblk = tblocks(np);
    if (nblk == 0)
        return 0;
    int32_t len = nblk * blksz;
    int64_t pos = blkpos(rd32(tf->car + c_dblk));
    unsigned char *dst = (unsigned char *)buffer;
    // The first tokens of a small file often lie wholly in what the header
    // window already read: take them from there rather than read them again.
    const twin *m = &tf->wmeta;
    int32_t got;
    if (pos >= 0 && m->pos >= 0 && pos >= m->pos && pos + len <= m->pos + m->len)
        got = metaget(tf, pos, dst, len);
    else
        got = wget(tf, &tf->wdata, tf->databuf, datawin, pos, dst, len);
    if (!host_le) {
        for (int32_t i = 0; i < nblk * blksamp; i++)
            buffer[i] = rd16(dst + 2 * i);
    }
    if (got < 2 * (int32_t)np)
        tf->missing = true;
    return got;
}

int32_t tread(int16_t *buffer, int32_t n, tfile *tf)
{
    if (n <= 0)
        return -1;
    trdcar(n, tf);
    if (tf->cargot < carsz) {
        // Without its whole car the token has no trustworthy data position
        // or scale: its samples are zeros.
        int32_t nblk = tblocks(rd16(tf->hitch + x_npts));
        memset(buffer, 0, (size_t)nblk * blksz);
        return -1;
    }
    return trddata(buffer, n, tf);
}

void tclose(tfile *tf)
{
    if (!tf)
        return;
    close(tf->fd);
    tfile *none = nullptr;
    if (!spare.compare_exchange_strong(none, tf))
        free(tf);
}
