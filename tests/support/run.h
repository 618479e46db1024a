// SPDX-License-Identifier: MIT
// Runs the built ravlox and captures what it prints, and makes scratch
// folders for its files.
#pragma once

#include <string>
#include <vector>

struct runres {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out, err;
};

// Runs the program with args in folder cwd (empty: the current one). The
// program under test runs through its launcher, and a Windows one's line
// ends "\r\n" are read as "\n".
// When the environment names a command in RAVLOX_TEST_WRAP (words split at
// spaces, such as a valgrind command line), the program runs under it.
runres runprog(const std::string &prog, const std::vector<std::string> &args,
               const std::string &cwd = "");

// The program under test: RAVLOX_BIN from the environment, else the one
// built beside the tests.
std::string ravlox_bin();

// The words of the command that runs the program under test (Wine, or QEMU
// for another processor), from RAVLOX_RUN in the environment, else the
// build's own; separated by spaces. Empty when it runs directly.
std::vector<std::string> ravlox_launcher();

// True when the program under test is a Windows program: a Windows build,
// or RAVLOX_TARGET=windows in the environment.
bool windows_target();

// s with every "\r\n" turned into "\n", as a Windows program's lines are read.
std::string unixlines(const std::string &s);

// A fresh empty folder under the system's temporary folder, removed with
// its contents when the object goes away.
struct scratch {
    std::string dir;
    scratch();
    ~scratch();
    scratch(const scratch &) = delete;
    scratch &operator=(const scratch &) = delete;
    std::string operator/(const std::string &name) const { return dir + "/" + name; }
};

bool exists(const std::string &path);

// The permission bits of the file at path (links followed); 0 when there is none.
unsigned modeof(const std::string &path);

// The names in folder dir, sorted.
std::vector<std::string> listing(const std::string &dir);

#ifdef _WIN32
// Runs the program with the command line "prog" followed by a blank and
// tail exactly as given, as a console would start it, in folder cwd.
runres runcmd(const std::string &prog, const std::string &tail, const std::string &cwd = "");
#endif

// True when runprog runs the program under a wrapper command.
bool wrapped();

#ifndef _WIN32
// True when the program under test can be run as the user nobody (uid and
// gid 65534, no other groups), so that permissions bind a test run as root:
// this is root, setpriv is there and the program runs without a launcher.
bool canrunasnobody();

// Runs the program under test with args in folder cwd as the user nobody.
runres runasnobody(const std::vector<std::string> &args, const std::string &cwd);
#endif
