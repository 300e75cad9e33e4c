#include "presets/solvi_file_base.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CSolviFileBase::~CSolviFileBase() {
    Close();
}

bool CSolviFileBase::OpenForRead(const char* name) {
    if (name == nullptr || *name == '\0') {
        return false;
    }
    Close();
    m_fileName = name;
    m_readMode = true;
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    m_handle = fd;
    return true;
}

int64_t CSolviFileBase::GetSize() const {
    struct stat st {};
    if (m_handle < 0 || fstat(m_handle, &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

void CSolviFileBase::Close() {
    if (m_handle >= 0) {
        close(m_handle);
        m_handle = -1;
    }
}
