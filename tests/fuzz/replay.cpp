// SPDX-License-Identifier: MIT
// Runs stored inputs through the fuzz target, as an ordinary test: every
// file named, and every file in every folder named, once each. Any broken
// rule aborts the run with the target's message.
//   usage: convert_replay FILE|DIR ...
#include "support/tokbuild.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        std::error_code ec;
        if (std::filesystem::is_directory(argv[i], ec)) {
            for (auto &e : std::filesystem::directory_iterator(argv[i]))
                if (e.is_regular_file())
                    files.push_back(e.path().string());
        } else {
            files.push_back(argv[i]);
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        fputs("convert_replay: no input\n", stderr);
        return 1;
    }
    for (const std::string &f : files) {
        std::vector<unsigned char> b = readfile(f);
        fprintf(stderr, "%s (%zu bytes)\n", f.c_str(), b.size());
        LLVMFuzzerTestOneInput(b.data(), b.size());
    }
    printf("convert_replay: %zu inputs, all as they should be\n", files.size());
    return 0;
}
