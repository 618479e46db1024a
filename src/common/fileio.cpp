// SPDX-License-Identifier: MIT
#include "fileio.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <cstring>
#include <linux/limits.h>
#include <sys/xattr.h>
#endif

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
bool fdid(int fd, fileid *id)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    *id = {(uint64_t)st.st_dev, (uint64_t)st.st_ino};
    return true;
}

void lookout(const char *path, outinfo *o)
{
    o->exists = stat(path, &o->st) == 0;
    o->hasid = o->exists;
    if (o->exists)
        o->id = {(uint64_t)o->st.st_dev, (uint64_t)o->st.st_ino};
}

int replacefile(const char *from, const char *to)
{
    return rename(from, to);
}

namespace {

#ifdef __linux__
// Copies every extended attribute of the file old, when it is still the
// file looked up as *st, to the file fd. Names and values are at most
// 64 KiB each (the kernel's own limits).
void keepxattrs(int fd, const char *old, const struct stat *st)
{
    static char names[XATTR_LIST_MAX];
    static char value[XATTR_SIZE_MAX];
    int ofd = open(old, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (ofd < 0)
        return;
    struct stat now;
    ssize_t len = -1;
    if (fstat(ofd, &now) == 0 && now.st_dev == st->st_dev && now.st_ino == st->st_ino)
        len = flistxattr(ofd, names, sizeof names);
    for (ssize_t i = 0; i < len; i += (ssize_t)strlen(names + i) + 1) {
        ssize_t n = fgetxattr(ofd, names + i, value, sizeof value);
        if (n >= 0)
            fsetxattr(fd, names + i, value, (size_t)n, 0);
    }
    close(ofd);
}
#endif

} // namespace

void keepmeta(int fd, const char *old, const struct stat *st)
{
    mode_t mode = st->st_mode & 07777;
    // As root, or for a group the user belongs to, the owner and the group
    // can be kept; otherwise the file is the user's, and the set-ID bits of
    // the old owner or group are not handed to the user's.
    if (fchown(fd, st->st_uid, st->st_gid) != 0) {
        mode &= ~(mode_t)S_ISUID;
        if (fchown(fd, (uid_t)-1, st->st_gid) != 0)
            mode &= ~(mode_t)S_ISGID;
    }
#ifdef __linux__
    keepxattrs(fd, old, st);
#else
    (void)old;
#endif
    // After the owner (which clears the set-ID bits) and the ACL (which
    // sets the group bits from its mask, the same bits as these).
    fchmod(fd, mode);
}
#endif
