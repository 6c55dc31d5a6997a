// Runs a part of a test in a child, which may give up privileges or mount what only it sees, and
// returns what it said.
#ifndef TESTS_SUPPORT_CHILDSAYS_H
#define TESTS_SUPPORT_CHILDSAYS_H

#include <cstdio>
#include <string>

#include <sched.h>
#include <sys/mount.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/Scratch.h"

#ifdef MUROX_COVERAGE_BUILD
extern "C" void __gcov_dump();
#endif

namespace testsupport {

// What `body` returned in a child, or "child failed: STATUS" (`body` may _exit on its own).
template <typename TBody> std::string ChildSays(TBody body)
{
    int report[2];
    if (pipe(report) != 0)
        return "no pipe";
    std::fflush(nullptr); // what stdio holds is written once, not by each process
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        const std::string said = body();
#ifdef MUROX_COVERAGE_BUILD
        __gcov_dump(); // _exit writes none
#endif
        _exit(write(report[1], said.data(), said.size()) == static_cast<ssize_t>(said.size()) ? 0
                                                                                              : 1);
    }
    close(report[1]);
    const std::string said = ReadAll(report[0]);
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0
               ? said
               : "child failed: " + std::to_string(status);
}

// For a child: a mount namespace of its own, whose mounts the rest of the system never sees.
inline bool OwnMounts()
{
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

} // namespace testsupport

#endif
