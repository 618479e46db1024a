// SPDX-License-Identifier: MIT
// Fuzz target: one run of ravlox, in this process, on a TOKEN file holding
// the input bytes. Checks what every run must do, whatever the bytes:
//   - return 0 and print exactly the one line the file calls for, then the
//     final newline; write the reason a file can't be opened, or the
//     damaged-file warning, exactly when it is due;
//   - leave the input as it was;
//   - leave the MAT-file, byte for byte as the model in support/tokmodel
//     works it out, when the file is accepted, and no file otherwise;
//   - leave no other file behind.
// Crashes, out-of-bounds accesses and undefined behaviour are the
// sanitizers' to catch. Built with -fsanitize=fuzzer this is a libFuzzer
// target; otherwise replay.cpp runs the stored corpus through it.
#include "support/run.h"
#include "support/tokbuild.h"
#include "support/tokmodel.h"

#include "driver/driver.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

// MAT-files larger than this are not written by the fuzz run: a few bytes
// can describe gigabytes of output, and the time and room that takes are
// the output's, not the reader's. The cost bound has its own test.
constexpr uint64_t maxmat = 1 << 20;

[[noreturn]] void fail(const char *what, const std::string &want, const std::string &got)
{
    fprintf(stderr, "convert_fuzz: %s\n  expected: [%s]\n  got:      [%s]\n", what, want.c_str(),
            got.c_str());
    abort();
}

std::string hex(const bytes &b, size_t from)
{
    std::string s;
    char h[4];
    for (size_t i = from; i < b.size() && i < from + 32; i++) {
        snprintf(h, sizeof h, "%02x", b[i]);
        s += h;
    }
    return s;
}

std::vector<std::string> names(const std::string &dir)
{
    std::vector<std::string> n;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                n.push_back(e->d_name);
        closedir(d);
    }
    return n;
}

// Runs the program with its standard output and error stream going to
// memory.
int runmain(const std::string &path, std::string &out, std::string &err)
{
    textout o = {-1, nullptr, 0, 0, 0}, e = {-1, nullptr, 0, 0, 0};
    std::string arg0 = "ravlox", arg1 = path;
    char *argv[] = {arg0.data(), arg1.data(), nullptr};
    int rc = ravlox_run(2, argv, &o, &e);
    out.assign(o.buf ? o.buf : "", o.len);
    err.assign(e.buf ? e.buf : "", e.len);
    free(o.buf);
    free(e.buf);
    return rc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static scratch tmp;
    const std::string in = tmp / "in.cal", mat = tmp / "in.mat";
    const bytes file(data, data + size);

    tcarry carry;
    texpect want = texpected(file, in, carry, maxmat);
    if (want.converts && want.matsize > maxmat)
        return -1;

    remove(mat.c_str());
    if (!writefile(in, file))
        abort();
    std::string out, err;
    int rc = runmain(in, out, err);

    if (rc != 0)
        fail("exit status", "0", std::to_string(rc));
    if (out != want.line + "\n")
        fail("standard output", want.line + "\n", out);
    if (err != want.errline)
        fail("standard error", want.errline, err);
    if (readfile(in) != file)
        fail("the input changed", std::to_string(size) + " bytes", "other bytes");
    if (want.converts) {
        bytes got = readfile(mat);
        if (got != want.mat) {
            size_t k = 0;
            while (k < got.size() && k < want.mat.size() && got[k] == want.mat[k])
                k++;
            fail(("MAT-file differs from byte " + std::to_string(k)).c_str(),
                 std::to_string(want.mat.size()) + " bytes: " + hex(want.mat, k),
                 std::to_string(got.size()) + " bytes: " + hex(got, k));
        }
    }
    std::vector<std::string> left = names(tmp.dir);
    size_t expected_files = want.converts ? 2 : 1;
    if (left.size() != expected_files) {
        std::string all;
        for (auto &n : left)
            all += n + " ";
        fail("files left", want.converts ? "in.cal in.mat" : "in.cal", all);
    }
    return 0;
}
