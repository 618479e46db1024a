// SPDX-License-Identifier: MIT
#include "run.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

#ifndef RAVLOX_RUN
#define RAVLOX_RUN ""
#endif

std::string ravlox_bin()
{
    const char *e = getenv("RAVLOX_BIN");
    return e && *e ? e : RAVLOX_BIN;
}

std::vector<std::string> ravlox_launcher()
{
    const char *e = getenv("RAVLOX_RUN");
    std::string s = e ? e : RAVLOX_RUN;
    std::vector<std::string> words;
    size_t at = 0;
    while (at < s.size()) {
        size_t end = s.find(' ', at);
        if (end == std::string::npos)
            end = s.size();
        if (end > at)
            words.push_back(s.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

bool windows_target()
{
#ifdef _WIN32
    return true;
#else
    const char *e = getenv("RAVLOX_TARGET");
    return e && strcmp(e, "windows") == 0;
#endif
}

std::string unixlines(const std::string &s)
{
    std::string o;
    for (size_t i = 0; i < s.size(); i++)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
            o += s[i];
    return o;
}

unsigned modeof(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (unsigned)st.st_mode & 07777 : 0;
}

std::vector<std::string> listing(const std::string &dir)
{
    std::vector<std::string> n;
    for (auto &e : std::filesystem::directory_iterator(dir))
        n.push_back(e.path().filename().string());
    std::sort(n.begin(), n.end());
    return n;
}
