#pragma once
// CSolviFileBase: a minimal read-only file handle, used to learn whether a file exists, is a
// regular file and how large it is.
#include <cstdint>
#include <string>

class CSolviFileBase {
  public:
    CSolviFileBase() = default;
    virtual ~CSolviFileBase();
    CSolviFileBase(const CSolviFileBase&) = delete;
    CSolviFileBase& operator=(const CSolviFileBase&) = delete;

    // Opens an existing regular file for reading. False for a null or empty name, a missing
    // file, a directory or a file that cannot be read.
    bool OpenForRead(const char* name);
    // Size of the open file in bytes; -1 when no file is open or its size is unknown.
    int64_t GetSize() const;
    void Close();
    bool IsOpen() const { return m_handle >= 0; }
    const std::string& FileName() const { return m_fileName; }

  private:
    std::string m_fileName;
    int m_handle = -1;
    bool m_readMode = false;
};
