#pragma once
// Runs a piece of a test in a forked child without privileges, so that file permissions
// apply to it. A process running as root gives the child user and group 65534 ("nobody");
// any other process is unprivileged already and the child keeps its identity.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace presets_test {

constexpr uid_t kNobody = 65534;
// Exit status of a child that could not give up its privileges.
constexpr int kCannotDropPrivileges = 77;

inline bool RunsAsRoot() {
    return geteuid() == 0;
}

// Runs body (returning an exit status, 0 for success) in a child and returns the child's exit
// status; -1 when it did not exit normally.
template <class Body>
int RunUnprivileged(Body body) {
    fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        if (RunsAsRoot() &&
            (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
            _exit(kCannotDropPrivileges);
        }
        _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace presets_test

// Runs body unprivileged and expects it to succeed; skips the test when privileges cannot be
// dropped.
#define EXPECT_UNPRIVILEGED_SUCCESS(body)                                             \
    do {                                                                              \
        int status_ = presets_test::RunUnprivileged(body);                            \
        if (status_ == presets_test::kCannotDropPrivileges) {                         \
            GTEST_SKIP() << "cannot switch to user " << presets_test::kNobody;        \
        }                                                                             \
        EXPECT_EQ(status_, 0) << "the unprivileged part failed at check " << status_; \
    } while (false)
