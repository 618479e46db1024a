// SPDX-License-Identifier: MIT
// TOKEN files: the block files that the KOLVIR acquisition program writes
// for a TEOAE measurement, and the handle through which they are read.
//
// Layout (all numbers little-endian, read bytewise from the block images):
//   block 0                header; hdr_last names the last header block
//   block hdr_last+1       hitch: token count and token length
//   block hdr_last+1+n     car of token n (n >= 1): data position, scaling
//                          and calibration figures
//   blocks dblk, dblk+1..  data of a token: 256 int16 samples per block
//
// Bytes that the file does not supply (a short file, a failed read, a block
// whose position is negative or beyond a signed 32-bit offset) read as zeros,
// and the handle remembers that a field the conversion uses came up short.
#pragma once

#include <cstdint>

constexpr int32_t blksz = 512;
constexpr int32_t blksamp = blksz / 2;

// Sizes of the block images kept in the handle.
constexpr int32_t hdrsz = 512;
constexpr int32_t hitchsz = 226;
constexpr int32_t carsz = 202;

// Header fields (byte offsets in block 0).
constexpr int h_last = 10;
constexpr int h_rate_exp = 120;
constexpr int h_rate_man = 122;
constexpr int h_marker = 124;
constexpr int h_ftype = 126;
constexpr int h_kind = 128;
constexpr int h_kindlen = 6;

// Hitch fields.
constexpr int x_ntok = 0;
constexpr int x_npts = 2;
constexpr int x_cur_car = 6;
constexpr int32_t x_used = 4; // ntok and npts: what the conversion relies on

// Car fields.
constexpr int c_dblk = 2;
constexpr int c_nswp = 12;
constexpr int c_scale_num = 30;
constexpr int c_scale_den = 34;
constexpr int c_cal_gain = 178;
constexpr int c_cal_cpv = 194;
constexpr int c_cal_vpp = 198;

constexpr int16_t tok_marker = -32000;
constexpr int16_t tok_ftype = 11111;

// A read-ahead window over the file, so that the many small block reads of
// a conversion become a few large ones.
struct twin {
    int64_t pos;  // file position of buf[0]; -1 when empty
    int32_t len;  // bytes of buf that came from the file
    bool eof;     // the file ends at pos + len
};

constexpr int32_t metawin = 64 * 1024;   // header, hitch and cars
constexpr int32_t datawin = 256 * 1024;  // token samples

struct tfile {
    int fd;
    int64_t size;     // bytes in the file when it was opened; reads stop there
    unsigned char hdr[hdrsz];
    unsigned char hitch[hitchsz];
    unsigned char car[carsz];
    int32_t hitchgot; // bytes of the hitch image that came from the file
    int32_t cargot;   // bytes of the current car image that came from the file
    bool missing;     // the conversion used bytes the file does not hold
    twin wmeta;
    twin wdata;
    unsigned char metabuf[metawin];
    unsigned char databuf[datawin];
};

// Why topen gave no handle, when it was not an errno value from the system
// (which may be EISDIR for a folder).
constexpr int topen_notreg = -1; // not a regular file: a FIFO, a device, a socket
constexpr int topen_empty = -2;  // the file holds no bytes
constexpr int topen_nomark = -3; // the header holds no TOKEN marker

// Opens a TOKEN file. Returns null when it can't, and then sets *why (when
// why is not null) to an errno value or one of the topen_ codes above.
// Handles may be opened and closed from several threads at once.
tfile *topen(const char *path, int *why = nullptr);
int32_t trdheader(tfile *tf);
int32_t trdhitch(tfile *tf);
int32_t trdcar(int32_t n, tfile *tf);
int32_t trddata(int16_t *buffer, int32_t n, tfile *tf);
int32_t tread(int16_t *buffer, int32_t n, tfile *tf);
void tclose(tfile *tf);

// Number of data blocks of a token of np samples; 0 for np <= 0.
inline int32_t tblocks(int32_t np) { return np > 0 ? (np + blksamp - 1) / blksamp : 0; }
