#include "presets/solvi_file_base.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

CSolviFileBase::~CSolviFileBase() {
    Close();
}

bool CSolviFileBase::OpenForRead(const char* name) {
    Close();
    m_error = EINVAL;
    if (name == nullptr || *name == '\0') {
        return false;
    }
    m_fileName = name;
    m_readMode = true;
    // Opening a FIFO for reading waits for a writer; look first.
    struct stat st {};
    if (stat(name, &st) != 0) {
        m_error = errno;
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        return false;
    }
    // Non-blocking in case the name was replaced since; a regular file reads the same.
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        m_error = errno;
        return false;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    m_handle = fd;
    m_error = 0;
    return true;
}

int64_t CSolviFileBase::GetSize() const {
    struct stat st {};
    if (m_handle < 0 || fstat(m_handle, &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool CSolviFileBase::ReadAll(std::string& content) {
    content.clear();
    if (m_handle < 0) {
        m_error = EBADF;
        return false;
    }
    char buffer[65536];
    off_t offset = 0;
    while (true) {
        ssize_t n = pread(m_handle, buffer, sizeof(buffer), offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            m_error = errno;
            return false;
        }
        if (n == 0) {
            return true;
        }
        content.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
}

void CSolviFileBase::Close() {
    if (m_handle >= 0) {
        close(m_handle);
        m_handle = -1;
    }
}
