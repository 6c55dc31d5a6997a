// Runs a part of a test in a child, which may give up privileges, and returns what it said.
#ifndef TESTS_SUPPORT_CHILDSAYS_H
#define TESTS_SUPPORT_CHILDSAYS_H

#include <string>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// What `body` returned in a child, or "child failed: STATUS" (`body` may _exit on its own).
template <typename TBody> std::string ChildSays(TBody body)
{
    int report[2];
    if (pipe(report) != 0)
        return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        const std::string said = body();
        _exit(write(report[1], said.data(), said.size()) == static_cast<ssize_t>(said.size()) ? 0
                                                                                              : 1);
    }
    close(report[1]);
    std::string said;
    char buffer[512];
    ssize_t n;
    while ((n = read(report[0], buffer, sizeof buffer)) > 0)
        said.append(buffer, static_cast<std::size_t>(n));
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0
               ? said
               : "child failed: " + std::to_string(status);
}

} // namespace testsupport

#endif
