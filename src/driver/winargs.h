// SPDX-License-Identifier: MIT
// The argument vector at start-up.
//
// On Windows no shell expands wildcards, so the program does it itself: it
// splits the command line into arguments and replaces each one that holds
// "*" or "?" outside double quotes by the path names that match it, sorted.
// Wildcards within double quotes are never expanded, and a pattern that
// matches nothing is passed on as written, without its quote marks.
// Elsewhere the shell has done this and the vector is left as it is.
#pragma once

#ifdef _WIN32
#include <string>
#include <vector>

// Replaces argc and argv by the arguments of the process's command line,
// wildcards expanded. The new vector lives until the process ends.
void winargs(int *argc, char ***argv);

// The arguments of the command line cmd, argv[0] first, wildcards expanded
// against the file system.
std::vector<std::wstring> startargs(const wchar_t *cmd);
#else
inline void winargs(int *, char ***) {}
#endif
