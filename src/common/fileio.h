// Descriptor-level file access shared by the reader and the writer.
#pragma once

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
