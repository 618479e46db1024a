#include "fileio.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

int32_t rdfull(int fd, int64_t pos, unsigned char *buf, int32_t len)
{
    if (pos < 0)
        return 0;
#ifdef _WIN32
    // No positioned read in the Windows runtime: seek, then read on.
    if (lseek(fd, (off_t)pos, SEEK_SET) < 0)
        return 0;
#endif
    int32_t got = 0;
    while (got < len) {
#ifdef _WIN32
        ssize_t r = read(fd, buf + got, (unsigned)(len - got));
#else
        ssize_t r = pread(fd, buf + got, (size_t)(len - got), (off_t)(pos + got));
#endif
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += (int32_t)r;
    }
    return got;
}

int wrfull(int fd, const unsigned char *buf, int64_t len)
{
    while (len > 0) {
        ssize_t w = write(fd, buf, (size_t)len);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return -1;
        if (w == 0) {
            errno = ENOSPC;
            return -1;
        }
        buf += w;
        len -= w;
    }
    return 0;
}

size_t dirlen(const char *path)
{
    size_t n = 0;
    for (size_t i = 0; path[i]; i++) {
#ifdef _WIN32
        if (path[i] == '\\' || (path[i] == ':' && i == 1))
            n = i + 1;
#endif
        if (path[i] == '/')
            n = i + 1;
    }
    return n;
}

#ifndef _WIN32
bool samefile(int fd, const char *path)
{
    struct stat a, b;
    if (fstat(fd, &a) != 0 || stat(path, &b) != 0)
        return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int replacefile(const char *from, const char *to)
{
    return rename(from, to);
}

void keepmode(int fd, unsigned mode)
{
    fchmod(fd, (mode_t)(mode & 07777));
}
#endif
