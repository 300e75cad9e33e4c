#pragma once
// CSolviFileBase: a minimal read-only file handle, used to learn whether a file exists, is a
// regular file and how large it is, and to read it.
#include <cstdint>
#include <string>

class CSolviFileBase {
  public:
    CSolviFileBase() = default;
    virtual ~CSolviFileBase();
    CSolviFileBase(const CSolviFileBase&) = delete;
    CSolviFileBase& operator=(const CSolviFileBase&) = delete;

    // Opens an existing regular file for reading. False for a null or empty name, a missing
    // file, a file that cannot be read and anything that is not a regular file; a FIFO or a
    // device is refused before it is opened, so this never blocks.
    bool OpenForRead(const char* name);
    // Size of the open file in bytes; -1 when no file is open or its size is unknown.
    int64_t GetSize() const;
    // Reads the whole open file from its start. False when no file is open or reading fails.
    bool ReadAll(std::string& content);
    void Close();
    bool IsOpen() const { return m_handle >= 0; }
    const std::string& FileName() const { return m_fileName; }
    // errno of the last failed operation (EINVAL for a name that is no regular file).
    int Error() const { return m_error; }

  private:
    std::string m_fileName;
    int m_handle = -1;
    bool m_readMode = false;
    int m_error = 0;
};
