// SPDX-License-Identifier: MIT
// The I/O floor of a batch conversion: the file-system work that converting
// a folder of TOKEN files safely cannot do without, and nothing else.
//
//     iofloor SIZE file...
//
// For every file it opens the input, reads it whole with one read, widens
// its 16-bit samples to singles, writes SIZE bytes (the size of the MAT-file
// ravlox makes of it) with one write to a new temporary file beside the
// output (mkstemp of ".ravlox-XXXXXX" in the output's folder, so owner-only),
// closes it and renames it over the output (the input name with its
// extension replaced by "mat"). The output name thus always holds a whole
// file, as with ravlox. There is no format logic: every pair of input bytes
// counts as a sample. Returns 1 when a file could not be read or written.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

unsigned char *inbuf = nullptr;
size_t incap = 0;
float *outbuf = nullptr;

bool fail(const char *what, const std::string &name)
{
    fprintf(stderr, "iofloor: %s %s: %s\n", what, name.c_str(), strerror(errno));
    return false;
}

bool onefile(const char *in, int64_t size)
{
    int fd = open(in, O_RDONLY);
    if (fd < 0)
        return fail("can't open", in);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return fail("can't stat", in);
    }
    size_t len = (size_t)st.st_size;
    if (len > incap) {
        free(inbuf);
        inbuf = (unsigned char *)malloc(len);
        incap = inbuf ? len : 0;
        if (!inbuf) {
            close(fd);
            return fail("no memory for", in);
        }
    }
    ssize_t got = read(fd, inbuf, len);
    close(fd);
    if (got != (ssize_t)len)
        return fail("short read of", in);

    size_t n = len / 2;
    if (n > (size_t)size / 4)
        n = (size_t)size / 4;
    const int16_t *s = (const int16_t *)inbuf;
    for (size_t i = 0; i < n; i++)
        outbuf[i] = (float)s[i];

    std::string out = in;
    size_t slash = out.rfind('/');
    size_t dot = out.find('.', slash == std::string::npos ? 0 : slash + 1);
    out = out.substr(0, dot) + ".mat";
    std::string tmp = out.substr(0, slash == std::string::npos ? 0 : slash + 1) + ".ravlox-XXXXXX";
    int ofd = mkstemp(tmp.data());
    if (ofd < 0)
        return fail("can't make a temporary file for", out);
    bool ok = write(ofd, outbuf, (size_t)size) == (ssize_t)size;
    if (close(ofd) != 0)
        ok = false;
    if (ok && rename(tmp.c_str(), out.c_str()) == 0)
        return true;
    fail("can't write", out);
    unlink(tmp.c_str());
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fputs("usage: iofloor SIZE file...\n", stderr);
        return 2;
    }
    int64_t size = atoll(argv[1]);
    if (size <= 0 || size > (int64_t)1 << 30) {
        fputs("iofloor: SIZE must be between 1 and 2^30\n", stderr);
        return 2;
    }
    outbuf = (float *)calloc((size_t)size / 4 + 1, 4);
    if (!outbuf)
        return 1;
    int bad = 0;
    for (int i = 2; i < argc; i++)
        if (!onefile(argv[i], size))
            bad = 1;
    return bad;
}
