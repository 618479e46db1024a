// SPDX-License-Identifier: MIT
#include "run.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

runres runprog(const std::string &prog, const std::vector<std::string> &args,
               const std::string &cwd)
{
    runres r;
    std::vector<std::string> words;
    if (wrapped()) {
        std::istringstream w(getenv("RAVLOX_TEST_WRAP"));
        for (std::string word; w >> word;)
            words.push_back(word);
    }
    if (prog == ravlox_bin()) {
        std::vector<std::string> launch = ravlox_launcher();
        words.insert(words.end(), launch.begin(), launch.end());
    }
    words.push_back(prog);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : words)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int po[2], pe[2];
    if (pipe(po) != 0 || pipe(pe) != 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(po[1], 1);
        dup2(pe[1], 2);
        close(po[0]);
        close(pe[0]);
        close(po[1]);
        close(pe[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(127);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(po[1]);
    close(pe[1]);
    struct pollfd fds[2] = {{po[0], POLLIN, 0}, {pe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            } else {
                (i == 0 ? r.out : r.err).append(buf, (size_t)n);
            }
        }
    }
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    if (prog == ravlox_bin() && windows_target()) {
        r.out = unixlines(r.out);
        r.err = unixlines(r.err);
    }
    return r;
}

scratch::scratch()
{
    const char *base = getenv("TMPDIR");
    std::string t = std::string(base && *base ? base : "/tmp") + "/ravlox-test-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    dir = mkdtemp(buf.data()) ? buf.data() : "";
}

scratch::~scratch()
{
    if (!dir.empty()) {
        std::error_code ec;
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(dir, ec);
    }
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool canrunasnobody()
{
    return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0 && ravlox_launcher().empty() &&
           !windows_target();
}

runres runasnobody(const std::vector<std::string> &args, const std::string &cwd)
{
    std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                    ravlox_bin()};
    all.insert(all.end(), args.begin(), args.end());
    return runprog("/usr/bin/setpriv", all, cwd);
}

bool wrapped()
{
    const char *w = getenv("RAVLOX_TEST_WRAP");
    return w && *w;
}
