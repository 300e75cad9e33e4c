#include "presets/file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/system.h"

namespace presets {

namespace {

constexpr int kMaxLinks = 40;
constexpr char kTemporaryInfix[] = ".tmp-";

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor() { Reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return m_fd; }
    void Take(int fd) {
        Reset();
        m_fd = fd;
    }
    // Closes the descriptor; false when closing reported an error.
    bool Reset() {
        bool ok = m_fd < 0 || close(m_fd) == 0;
        m_fd = -1;
        return ok;
    }

  private:
    int m_fd;
};

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirectoryForOpen(const std::string& path) {
    std::string directory = platform::DirectoryOf(path);
    return directory.empty() ? std::string(".") : directory;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Makes a completed rename durable; the file is whole either way.
void SyncDirectory(const std::string& path) {
    int fd = open(DirectoryForOpen(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Creates a new temporary file beside target; -1 (with errno) when none can be created.
int CreateTemporary(const std::string& target, mode_t mode, std::string& name) {
    static std::atomic<uint32_t> sequence{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name =
            target + kTemporaryInfix + std::to_string(getpid()) + "-" + std::to_string(sequence++);
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// Rewrites an open file in place: not crash-safe, used only where no new file can be made.
bool WriteInPlace(int fd, const std::string& target, const std::string& content,
                  std::string& error) {
    if (ftruncate(fd, 0) != 0 || !WriteAll(fd, content) || fsync(fd) != 0) {
        error = "cannot write \"" + target + "\": " + ErrorText(errno);
        return false;
    }
    return true;
}

bool CanReplaceInPlace(int existing, int error) {
    return existing >= 0 && (error == EACCES || error == EPERM);
}

}  // namespace

std::string ErrorText(int error) {
    char buffer[256];
    // The GNU form returns the text, which may or may not be in the buffer.
    return strerror_r(error, buffer, sizeof(buffer));
}

std::string ResolveLinks(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return current;
        }
        std::vector<char> buffer(PATH_MAX + 1);
        ssize_t n = readlink(current.c_str(), buffer.data(), buffer.size());
        if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) {
            return {};
        }
        std::string link(buffer.data(), static_cast<size_t>(n));
        if (link[0] == '/') {
            current = link;
        } else {
            std::string directory = platform::DirectoryOf(current);
            if (directory.empty()) {
                current = link;
            } else if (directory.back() == '/') {
                current = directory + link;
            } else {
                current = directory + "/" + link;
            }
        }
    }
    return {};
}

bool SaveFileContent(const std::string& path, const std::string& content, std::string& error) {
    std::string target = ResolveLinks(path);
    if (target.empty()) {
        error = "cannot follow the links at \"" + path + "\"";
        return false;
    }
    if (target.back() == '/') {
        error = "\"" + target + "\" names no file";
        return false;
    }

    // An existing file is opened for writing first: a file the process may not write is
    // not replaced, and the open file serves the in-place fallback.
    struct stat old {};
    FileDescriptor existing;
    if (stat(target.c_str(), &old) == 0) {
        if (!S_ISREG(old.st_mode)) {
            error = "\"" + target + "\" is not a regular file";
            return false;
        }
        existing.Take(
            open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW));
        if (existing.Get() < 0) {
            error = "cannot write \"" + target + "\": " + ErrorText(errno);
            return false;
        }
        if (fstat(existing.Get(), &old) != 0 || !S_ISREG(old.st_mode)) {
            error = "\"" + target + "\" is not a regular file";
            return false;
        }
    } else if (errno != ENOENT) {
        error = "cannot reach \"" + target + "\": " + ErrorText(errno);
        return false;
    }

    std::string temporary;
    FileDescriptor fd(CreateTemporary(target, existing.Get() >= 0 ? 0600 : 0666, temporary));
    if (fd.Get() < 0) {
        int cause = errno;
        if (CanReplaceInPlace(existing.Get(), cause)) {
            return WriteInPlace(existing.Get(), target, content, error);
        }
        error = "cannot create a file beside \"" + target + "\": " + ErrorText(cause);
        return false;
    }
    bool ok = WriteAll(fd.Get(), content);
    if (ok && existing.Get() >= 0) {
        if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
            fchown(fd.Get(), old.st_uid, old.st_gid) != 0) {
            // Only a privileged process may give a file away; the new file is then the
            // process's own, with the old permission bits.
        }
        ok = fchmod(fd.Get(), old.st_mode & 07777) == 0;
    }
    ok = ok && fsync(fd.Get()) == 0;
    int cause = errno;
    ok = fd.Reset() && ok;
    if (!ok) {
        unlink(temporary.c_str());
        error = "cannot write \"" + temporary + "\": " + ErrorText(cause);
        return false;
    }
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        cause = errno;
        unlink(temporary.c_str());
        // A folder with the sticky bit lets only the owner replace a file.
        if (CanReplaceInPlace(existing.Get(), cause)) {
            return WriteInPlace(existing.Get(), target, content, error);
        }
        error = "cannot replace \"" + target + "\": " + ErrorText(cause);
        return false;
    }
    SyncDirectory(target);
    return true;
}

void RemoveStaleTemporaries(const std::string& path) {
    std::string target = ResolveLinks(path);
    if (target.empty() || target.back() == '/') {
        return;
    }
    std::string prefix = BaseName(target) + kTemporaryInfix;
    DIR* directory = opendir(DirectoryForOpen(target).c_str());
    if (directory == nullptr) {
        return;
    }
    std::vector<std::string> stale;
    while (struct dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        // PID-N, both decimal.
        std::string rest = name.substr(prefix.size());
        size_t dash = rest.find('-');
        if (dash == 0 || dash == std::string::npos || dash + 1 == rest.size() ||
            rest.find_first_not_of("0123456789-") != std::string::npos ||
            rest.find('-', dash + 1) != std::string::npos || dash > 9) {
            continue;
        }
        long pid = std::stol(rest.substr(0, dash));
        if (pid <= 0 || pid == getpid()) {
            continue;
        }
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            stale.push_back(name);
        }
    }
    int dirFd = dirfd(directory);
    for (const std::string& name : stale) {
        struct stat st {};
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            unlinkat(dirFd, name.c_str(), 0);
        }
    }
    closedir(directory);
}

}  // namespace presets
