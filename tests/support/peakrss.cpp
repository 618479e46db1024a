// SPDX-License-Identifier: MIT
// Runs a program and writes its peak resident memory, in KiB, to a file.
// The count is the program's own: a process forked straight from a large
// one (a test) would count the parent's memory as well, so the test runs
// this small helper, which forks the program from itself.
//   usage: peakrss OUTFILE PROG ARG...
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fputs("usage: peakrss OUTFILE PROG ARG...\n", stderr);
        return 2;
    }
    pid_t pid = fork();
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int st = 0;
    struct rusage ru = {};
    if (pid < 0 || wait4(pid, &st, 0, &ru) != pid)
        return 1;
    FILE *f = fopen(argv[1], "w");
    if (!f || fprintf(f, "%ld\n", ru.ru_maxrss) < 0 || fclose(f) != 0)
        return 1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 1;
}
