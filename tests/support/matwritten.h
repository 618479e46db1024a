// SPDX-License-Identifier: MIT
// Runs writer calls against a fresh output file and returns its bytes.
#pragma once

#include "support/run.h"
#include "support/tokbuild.h"

#include "common/fileio.h"
#include "matout/matwr.h"

#include <string>
#include <unistd.h>
#include <vector>

// Calls body with a matout on a new file, flushes it and returns what the
// file then holds; *err, when given, gets the errno of a failed write or 0.
template <class F> std::vector<unsigned char> written(F body, int *err = nullptr)
{
    scratch tmp;
    std::string p = tmp / "out.mat";
    int fd = open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_BINARY, 0600);
    matout mo = {fd, 0, 0};
    body(&mo);
    int r = mat_flush(&mo);
    if (err)
        *err = r ? mo.err : 0;
    close(fd);
    return readfile(p);
}
