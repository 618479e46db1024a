// SPDX-License-Identifier: MIT
// Windows versions of the file operations that differ from POSIX: file
// identity, the lookup of an output, replacing rename and metadata.
#include "fileio.h"

#include <cerrno>
#include <io.h>
#include <windows.h>

namespace {

// The file's identity: the serial number of its volume and its index there.
bool fileid_of(HANDLE h, DWORD id[3])
{
    BY_HANDLE_FILE_INFORMATION fi;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &fi))
        return false;
    id[0] = fi.dwVolumeSerialNumber;
    id[1] = fi.nFileIndexHigh;
    id[2] = fi.nFileIndexLow;
    return true;
}

int errnoof(DWORD e)
{
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    default:
        return EIO;
    }
}

} // namespace

// MinGW's stat has no inode numbers, and names that differ only in case
// name one file, so identity is the Windows file ID.
bool fdid(int fd, fileid *id)
{
    DWORD a[3];
    if (!fileid_of((HANDLE)_get_osfhandle(fd), a))
        return false;
    *id = {a[0], ((uint64_t)a[1] << 32) | a[2]};
    return true;
}

void lookout(const char *path, outinfo *o)
{
    o->exists = stat(path, &o->st) == 0;
    o->hasid = false;
    if (!o->exists)
        return;
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    DWORD a[3];
    if (fileid_of(h, a)) {
        o->hasid = true;
        o->id = {a[0], ((uint64_t)a[1] << 32) | a[2]};
    }
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

// rename does not replace an existing file on Windows; MoveFileEx does.
int replacefile(const char *from, const char *to)
{
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    errno = errnoof(GetLastError());
    return -1;
}

// Windows files carry no permission bits or owner that a program sets this
// way; a read-only output is refused before it is replaced.
void keepmeta(int, const char *, const struct stat *) {}
