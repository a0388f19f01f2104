// The fuzzers' mistake mode: with QORSysAllocatorChecks=ON, a harness also makes the mistakes that
// checked mode names (a release with the wrong flag, a release twice, a destroyed pool used) and
// expects the stop. Each mistake runs in a child process, so that the model and the pools of the
// run go on untouched; the child must die of SIGABRT with the expected words on stderr.
#pragma once

#include "FuzzInput.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// Runs `mistake` in a child and checks that checked mode stopped it with `expected` in its message.
template <class Mistake> void ExpectStop(Mistake mistake, const char* expected) {
    int pipeEnds[2];
    FUZZ_CHECK(pipe(pipeEnds) == 0);
    const pid_t child = fork();
    FUZZ_CHECK(child >= 0);
    if (child == 0) {
        dup2(pipeEnds[1], STDERR_FILENO);
        close(pipeEnds[0]);
        signal(SIGABRT, SIG_DFL);
        mistake();
        _exit(0); // not stopped: the parent reports it
    }
    close(pipeEnds[1]);
    std::string message;
    char buffer[512];
    // libFuzzer's timer (SIGALRM, once a second) interrupts the reads and the wait: both go on.
    for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) != 0;) {
        if (got > 0) message.append(buffer, static_cast<std::size_t>(got));
        if (got < 0 && errno != EINTR) break;
    }
    close(pipeEnds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT &&
          message.find(expected) != std::string::npos)) {
        std::fprintf(stderr, "expected a stop with \"%s\", got status %d and:\n%s\n", expected,
                     status, message.c_str());
        FUZZ_CHECK(!"checked mode stopped the mistake");
    }
}
