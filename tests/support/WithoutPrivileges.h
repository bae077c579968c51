// Running a piece of a test without root's power to ignore file permissions, so failure paths
// that depend on a mode are exercised under CI, which runs as root, too.
#pragma once

#include <cerrno>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vantorelle {

// Runs `body` in a child process that cannot override file permissions: as root the child becomes
// nobody (and `root` is handed to nobody first), otherwise it runs as the current user. Returns the
// child's exit status (what `body` returned), or -1 when it did not exit normally.
inline int runWithoutPrivileges(const std::filesystem::path& root, const std::function<int()>& body)
{
    constexpr uid_t kNobody = 65534;
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            ::lchown(entry.path().c_str(), kNobody, kNobody);
        }
        ::lchown(root.c_str(), kNobody, kNobody);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (asRoot && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            ::_exit(100);
        }
        ::_exit(body());
    }
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace vantorelle
