// SPDX-License-Identifier: MIT
#include "matwr.h"

#include "../common/fileio.h"
#include "../common/le.h"

#include <cerrno>
#include <cstring>

const int32_t bsiz[4] = {8, 4, 4, 2};

namespace {

unsigned char matbuf[matbufsz];

void flushbuf(matout *mo)
{
    if (mo->err == 0 && mo->len > 0 && wrfull(mo->fd, matbuf, mo->len) != 0)
        mo->err = errno ? errno : EIO;
    mo->len = 0;
}

void put(matout *mo, const unsigned char *src, int64_t len)
{
    while (len > 0) {
        if (mo->len == matbufsz)
            flushbuf(mo);
        int64_t room = matbufsz - mo->len;
        int32_t n = (int32_t)(len < room ? len : room);
        memcpy(matbuf + mo->len, src, (size_t)n);
        mo->len += n;
        src += n;
        len -= n;
    }
}

// Appends count elements of size bytes, each turned little-endian.
void putel(matout *mo, const unsigned char *src, int32_t count, int32_t size)
{
    if (host_le) {
        put(mo, src, (int64_t)count * size);
        return;
    }
    for (int32_t i = 0; i < count; i++, src += size) {
        if (matbufsz - mo->len < size)
            flushbuf(mo);
        for (int32_t b = 0; b < size; b++)
            matbuf[mo->len + b] = src[size - 1 - b];
        mo->len += size;
    }
}

// Appends the five header integers of a column of count elements of
// precision P, and the name with its NUL.
void puthead(matout *mo, const char *name, int32_t count, int P)
{
    int32_t namlen = (int32_t)strlen(name) + 1;
    unsigned char head[20];
    wr32(head, P * 10);
    wr32(head + 4, count);
    wr32(head + 8, 1);
    wr32(head + 12, 0);
    wr32(head + 16, namlen);
    put(mo, head, sizeof head);
    put(mo, (const unsigned char *)name, namlen);
}

} // namespace

void mat_wr(matout *mo, const char *name, const void *data, int32_t count, int P)
{
    if (mo->err)
        return;
    if (count < 0 || P < 0 || P > 3) {
        mo->err = EINVAL;
        return;
    }
    puthead(mo, name, count, P);
    putel(mo, (const unsigned char *)data, count, bsiz[P]);
}

unsigned char *mat_room(matout *mo, const char *name, int32_t count)
{
    if (mo->err || count < 0 || !host_le)
        return nullptr;
    int32_t namlen = (int32_t)strlen(name) + 1;
    int64_t need = 20 + (int64_t)namlen + 4 * ((int64_t)count + 7);
    if (need > matbufsz)
        return nullptr;
    if (matbufsz - mo->len < need)
        flushbuf(mo);
    if (mo->err)
        return nullptr;
    puthead(mo, name, count, 1);
    unsigned char *data = matbuf + mo->len;
    mo->len += 4 * count;
    return data;
}

int mat_flush(matout *mo)
{
    flushbuf(mo);
    return mo->err ? -1 : 0;
}

void newext(char *path, const char *ext)
{
    char *name = path;
    for (char *p = path; *p; p++) {
#ifdef _WIN32
        if (*p == '\\' || (*p == ':' && p == path + 1))
            name = p + 1;
#endif
        if (*p == '/')
            name = p + 1;
    }
    char *dot = strchr(name, '.');
    if (!dot)
        dot = name + strlen(name);
    *dot++ = '.';
    strcpy(dot, ext);
}
