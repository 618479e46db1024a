// SPDX-License-Identifier: MIT
// Descriptor-level file access shared by the reader and the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>

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

// Length of the directory part of path, its last separator included; 0
// when it has none. On Windows a "\" or a drive's ":" ends it as well as a "/".
size_t dirlen(const char *path);

// The identity of a file: its device and inode number; on Windows the
// serial number of its volume and its file index.
struct fileid {
    uint64_t dev;
    uint64_t ino;
};

inline bool sameid(const fileid &a, const fileid &b) { return a.dev == b.dev && a.ino == b.ino; }

// Sets *id to the identity of the open file fd. Returns false when it can't.
bool fdid(int fd, fileid *id);

// What an output name refers to before the output is written (links
// followed). Looked up once per file, for the check that the output is not
// the input and for the replacement.
struct outinfo {
    bool exists;
    bool hasid;      // id is known
    fileid id;
    struct stat st;  // valid when exists
};

// Looks up path into *o.
void lookout(const char *path, outinfo *o);

// Renames the file from to the name to, replacing a file of that name.
// Returns 0, or -1 with errno set.
int replacefile(const char *from, const char *to);

// Gives the new file fd, written to replace the regular file old (looked
// up as *st), what belongs to the old one: its owner and group where the
// process may set them, its extended attributes (ACLs among them) on
// Linux, and its permission bits. What can't be set is skipped; set-user-ID
// and set-group-ID bits are kept only with the owner and group they go with.
void keepmeta(int fd, const char *old, const struct stat *st);

// Windows versions of fdid, lookout, replacefile and keepmeta are in winio.cpp.
