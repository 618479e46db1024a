// SPDX-License-Identifier: MIT
// Level 4 MAT-files (the MATLAB version 4 layout): a plain sequence of
// variable records with no file header. Each record is five little-endian
// int32 (type, mrows, ncols, imagf, namlen), the name with its NUL, then
// mrows x ncols elements. This writer always writes column vectors
// (ncols 1), real (imagf 0), little-endian IEEE (M 0), full matrices (T 0),
// so type is P x 10 with P the precision code:
//   0 double (8 bytes), 1 single (4), 2 int32 (4), 3 int16 (2).
#pragma once

#include <cstdint>

constexpr int32_t matbufsz = 512 * 1024;

extern const int32_t bsiz[4];

// An output file being written: records are gathered in a program-wide
// buffer and written in large pieces. err holds the errno of the first
// failed write; after it nothing more is written.
struct matout {
    int fd;
    int err;
    int32_t len;
};

// Appends one variable record: a column of count elements of precision P
// taken from data (native numbers, written little-endian). A negative count
// or an unknown P writes nothing and sets err to EINVAL.
void mat_wr(matout *mo, const char *name, const void *data, int32_t count, int P);

// Appends the head of a record of count singles named name and returns
// where its 4 x count data bytes go in the gathering buffer, for the caller
// to fill with little-endian singles before the next call on mo. The buffer
// has room for 7 more singles past them, which are not written out. Returns
// null, appending nothing, when the record does not fit in the buffer at
// once, on a host that is not little-endian, or after a failed write: then
// the record is for mat_wr.
unsigned char *mat_room(matout *mo, const char *name, int32_t count);

// Writes out what is gathered. Returns 0, or -1 when any write failed.
int mat_flush(matout *mo);

// Replaces the extension of the file name in path, in place: from the first
// "." of the last path component on (or its end when it has none) the text
// becomes "." and ext. path must have room for strlen(ext) + 2 more bytes.
void newext(char *path, const char *ext);
