// Runs the built ravlox and captures what it prints, and makes scratch
// folders for its files.
#pragma once

#include <string>
#include <vector>

struct runres {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out, err;
};

// Runs the program with args in folder cwd (empty: the current one).
// When the environment names a command in RAVLOX_TEST_WRAP (words split at
// spaces, such as a valgrind command line), the program runs under it.
runres runprog(const std::string &prog, const std::vector<std::string> &args,
               const std::string &cwd = "");

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

// True when runprog runs the program under a wrapper command.
bool wrapped();
