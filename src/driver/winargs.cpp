// SPDX-License-Identifier: MIT
// Windows start-up: the command line split into arguments, with the
// wildcards expanded that the shell leaves alone there.
//
// The runtime's own expansion (_dowildcard) is turned off: it does not sort
// what it finds, and the splitting below follows one fixed set of rules
// (those of the current Microsoft C runtime) whatever runtime the program
// is linked with.
#include "winargs.h"

#include <algorithm>
#include <windows.h>

// MinGW-w64's start-up expands wildcards in argv when this is nonzero.
extern "C" {
int _dowildcard = 0;
}

namespace {

// One argument as split from the command line; quoted[i] tells whether
// text[i] lay within double quotes, where "*" and "?" are plain characters.
struct cmdword {
    std::wstring text;
    std::vector<bool> quoted;
};

bool blank(wchar_t c) { return c == L' ' || c == L'\t'; }
bool issep(wchar_t c) { return c == L'/' || c == L'\\'; }
bool iswild(wchar_t c) { return c == L'*' || c == L'?'; }

void put(cmdword *w, wchar_t c, bool q)
{
    w->text += c;
    w->quoted.push_back(q);
}

// Splits cmd by the C runtime's rules. The program name ends at the first
// blank, or at the closing quote when it begins with one, and has no
// escapes. In the arguments that follow, 2n backslashes and a quote give n
// backslashes and open or close a quoted part; 2n+1 backslashes and a quote
// give n backslashes and a literal quote; two quotes within a quoted part
// give a literal quote; other backslashes are plain.
std::vector<cmdword> splitcmd(const wchar_t *cmd)
{
    std::vector<cmdword> words;
    const wchar_t *p = cmd;
    cmdword prog;
    if (*p == L'"') {
        for (p++; *p && *p != L'"'; p++)
            put(&prog, *p, true);
        if (*p == L'"')
            p++;
    } else {
        for (; *p && !blank(*p); p++)
            put(&prog, *p, false);
    }
    words.push_back(prog);
    for (;;) {
        while (blank(*p))
            p++;
        if (!*p)
            break;
        cmdword w;
        bool inq = false;
        while (*p && (inq || !blank(*p))) {
            size_t n = 0;
            while (p[n] == L'\\')
                n++;
            if (p[n] != L'"') {
                for (; n > 0; n--, p++)
                    put(&w, L'\\', inq);
                if (*p && *p != L'"' && (inq || !blank(*p)))
                    put(&w, *p++, inq);
                continue;
            }
            for (size_t k = 0; k < n / 2; k++)
                put(&w, L'\\', inq);
            p += n;
            if (n % 2 == 1) {
                put(&w, L'"', inq);
                p++;
            } else if (inq && p[1] == L'"') {
                put(&w, L'"', true);
                p += 2;
            } else {
                inq = !inq;
                p++;
            }
        }
        words.push_back(w);
    }
    return words;
}

std::wstring upper(const std::wstring &s)
{
    if (s.empty())
        return s;
    std::wstring u(s.size(), L'\0');
    int n = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, s.c_str(), (int)s.size(), u.data(),
                         (int)u.size());
    return n == (int)s.size() ? u : s;
}

// Whether name matches the pattern pat[from, to) of w, case ignored as in
// Windows file names: an unquoted "*" stands for any run of characters, an
// unquoted "?" for exactly one.
bool match(const cmdword &w, const std::wstring &up, size_t from, size_t to,
           const std::wstring &name)
{
    std::wstring n = upper(name);
    size_t pi = from, ni = 0, star = std::wstring::npos, back = 0;
    while (ni < n.size()) {
        if (pi < to && !w.quoted[pi] && w.text[pi] == L'*') {
            star = ++pi;
            back = ni;
        } else if (pi < to && ((!w.quoted[pi] && w.text[pi] == L'?') || up[pi] == n[ni])) {
            pi++;
            ni++;
        } else if (star != std::wstring::npos) {
            pi = star;
            ni = ++back;
        } else {
            return false;
        }
    }
    while (pi < to && !w.quoted[pi] && w.text[pi] == L'*')
        pi++;
    return pi == to;
}

bool haswild(const cmdword &w, size_t from, size_t to)
{
    for (size_t i = from; i < to; i++)
        if (!w.quoted[i] && iswild(w.text[i]))
            return true;
    return false;
}

// Adds to out every path that matches w from position at on, below the
// path dir already matched (as it will be printed, separator included).
void walk(const cmdword &w, const std::wstring &up, size_t at, const std::wstring &dir,
          std::vector<std::wstring> &out)
{
    size_t end = at;
    while (end < w.text.size() && !issep(w.text[end]))
        end++;
    size_t next = end;
    while (next < w.text.size() && issep(w.text[next]))
        next++;
    std::wstring sep = w.text.substr(end, next - end);
    bool last = next == w.text.size();

    if (!haswild(w, at, end)) {
        std::wstring path = dir + w.text.substr(at, next - at);
        if (!last)
            walk(w, up, next, path, out);
        else if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            out.push_back(path);
        return;
    }
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::wstring> names;
    do {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        // Only a folder can have a name after a separator.
        if (!sep.empty() && !(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        if (match(w, up, at, end, name))
            names.push_back(name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    for (const std::wstring &name : names) {
        if (last)
            out.push_back(dir + name + sep);
        else
            walk(w, up, next, dir + name + sep, out);
    }
}

// Case ignored first, so that a.cal, B.cal and c.cal come in that order;
// names that differ only in case in a fixed order after that.
bool before(const std::wstring &a, const std::wstring &b)
{
    std::wstring ua = upper(a), ub = upper(b);
    return ua != ub ? ua < ub : a < b;
}

void expand(const cmdword &w, std::vector<std::wstring> &args)
{
    if (!haswild(w, 0, w.text.size())) {
        args.push_back(w.text);
        return;
    }
    // The root: a drive ("C:"), then any leading separators.
    size_t at = 0;
    if (w.text.size() >= 2 && w.text[1] == L':' && !w.quoted[1] && iswalpha(w.text[0]))
        at = 2;
    while (at < w.text.size() && issep(w.text[at]))
        at++;
    std::vector<std::wstring> found;
    walk(w, upper(w.text), at, w.text.substr(0, at), found);
    if (found.empty()) {
        args.push_back(w.text);
        return;
    }
    std::sort(found.begin(), found.end(), before);
    args.insert(args.end(), found.begin(), found.end());
}

} // namespace

std::vector<std::wstring> startargs(const wchar_t *cmd)
{
    std::vector<cmdword> words = splitcmd(cmd);
    std::vector<std::wstring> args;
    args.push_back(words[0].text);
    for (size_t i = 1; i < words.size(); i++)
        expand(words[i], args);
    return args;
}

void winargs(int *argc, char ***argv)
{
    std::vector<std::wstring> args = startargs(GetCommandLineW());
    char **v = new char *[args.size() + 1];
    for (size_t i = 0; i < args.size(); i++) {
        const std::wstring &a = args[i];
        int n = WideCharToMultiByte(CP_ACP, 0, a.c_str(), (int)a.size(), nullptr, 0, nullptr,
                                    nullptr);
        v[i] = new char[(size_t)n + 1];
        WideCharToMultiByte(CP_ACP, 0, a.c_str(), (int)a.size(), v[i], n, nullptr, nullptr);
        v[i][n] = '\0';
    }
    v[args.size()] = nullptr;
    *argc = (int)args.size();
    *argv = v;
}
