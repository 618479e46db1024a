// Descriptor-level file access shared by the reader and the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fcntl.h>

#ifndef O_BINARY
#define O_BINARY 0
#endif

// Reads up to len bytes at byte position pos, retrying interrupted and
// partial reads. Returns the number of bytes obtained; fewer than len means
// the file ended or a read failed.
int32_t rdfull(int fd, int64_t pos, unsigned char *buf, int32_t len);

// Writes all len bytes, retrying interrupted and partial writes. Returns 0,
// or -1 with errno set (ENOSPC when the device takes no more bytes).
int wrfull(int fd, const unsigned char *buf, int64_t len);

// True when the open descriptor fd and the file named by path (links
// followed) are one and the same file.
bool samefile(int fd, const char *path);

// Length of the directory part of path, its last separator included; 0
// when it has none. On Windows a "\" or a drive's ":" ends it as well as a "/".
size_t dirlen(const char *path);

// Renames the file from to the name to, replacing a file of that name.
// Returns 0, or -1 with errno set.
int replacefile(const char *from, const char *to);

// Gives the open file fd the permission bits of mode, where files have them.
void keepmode(int fd, unsigned mode);

// Windows versions of samefile, replacefile and keepmode are in winio.cpp.
