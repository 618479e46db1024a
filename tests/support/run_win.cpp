// SPDX-License-Identifier: MIT
// Windows versions of the harness's process and folder helpers.
#include "run.h"

#include <filesystem>
#include <windows.h>

namespace {

// A file that takes one of the child's output streams.
HANDLE capture(const std::string &path)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &sa,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
}

std::string slurp(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return s;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

// One argument quoted so that the C runtime's splitting gives it back.
std::string quote(const std::string &a)
{
    if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos)
        return a;
    std::string q = "\"";
    size_t bs = 0;
    for (char c : a) {
        if (c == '\\') {
            bs++;
            continue;
        }
        q.append(c == '"' ? 2 * bs + 1 : bs, '\\');
        bs = 0;
        q += c;
    }
    q.append(2 * bs, '\\');
    return q + "\"";
}

} // namespace

runres runcmd(const std::string &prog, const std::string &tail, const std::string &cwd)
{
    runres r;
    scratch io;
    std::string outp = io / "out", errp = io / "err";
    HANDLE ho = capture(outp), he = capture(errp);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = ho;
    si.hStdError = he;
    PROCESS_INFORMATION pi = {};
    std::string cmd = "\"" + prog + "\" " + tail;
    BOOL ok = CreateProcessA(prog.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             cwd.empty() ? nullptr : cwd.c_str(), &si, &pi);
    if (ok) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        r.status = (int)code;
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(ho);
    CloseHandle(he);
    r.out = unixlines(slurp(outp));
    r.err = unixlines(slurp(errp));
    return r;
}

runres runprog(const std::string &prog, const std::vector<std::string> &args,
               const std::string &cwd)
{
    std::string tail;
    for (const std::string &a : args)
        tail += (tail.empty() ? "" : " ") + quote(a);
    return runcmd(prog, tail, cwd);
}

scratch::scratch()
{
    char base[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof base, base);
    std::string b = n > 0 && n < sizeof base ? std::string(base, n) : std::string(".\\");
    for (unsigned k = 0; k < 1000 && dir.empty(); k++) {
        std::string d = b + "ravlox-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                        std::to_string(GetTickCount() + k);
        if (CreateDirectoryA(d.c_str(), nullptr))
            dir = d;
    }
}

scratch::~scratch()
{
    if (!dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
}

bool exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
