// Runs a check in a forked child of a test that keeps other threads busy: whether the child,
// which inherits whatever state the fork left, can do its work and exit with 0.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

namespace qor::test {

// True when `work` returns true in the child and the child exits normally. The child ends itself
// after 20 s, so that a lock the fork left held fails the case instead of hanging it.
template <class Work> bool ForkedChildSucceeds(Work work) {
    const pid_t pid = fork();
    if (pid == -1) return false;
    if (pid == 0) {
        alarm(20);
        _exit(work() ? 0 : 1);
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace qor::test
