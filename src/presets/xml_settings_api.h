#pragma once
// CXMLSettingsAPI: one XML document bound to one file. Values are addressed by slash-separated
// element paths relative to the document (such as "JVC/PtzChannel01/Preposition000/Name") and
// held in an attribute named "value". Missing elements are created on writing, with indenting
// whitespace text nodes. The document keeps its whitespace text and its declaration exactly as
// read, and is written back without reformatting.
//
// The file lies in a directory fixed at construction (by default the directory of the running
// executable); file names are taken relative to it, and a backslash in a name separates
// folders as a slash does. A document whose declaration names an encoding other than UTF-8,
// UTF-16 or UTF-32 is converted through iconv when it is read and written back in that
// encoding, with character references for characters the encoding cannot hold.
#include <pugixml.hpp>

#include <cstdint>
#include <memory>
#include <string>

#include "thread/lock.h"

class CXMLSettingsAPI {
  public:
    // Status of a failed Open: the file is missing, empty or does not load.
    static constexpr int32_t kOpenFailed = static_cast<int32_t>(0x80004005u);
    // Status of a failed Open: the file exists but cannot be read, or is not a regular file.
    static constexpr int32_t kOpenRefused = static_cast<int32_t>(0x80070005u);
    // Status of a failed Open: the declaration names an encoding that cannot be converted.
    static constexpr int32_t kOpenUnknownEncoding = static_cast<int32_t>(0x80070459u);
    // Longest element path accepted, in characters; longer paths address nothing.
    static constexpr size_t kMaxPathLength = 1023;

    // An empty directory means the directory of the running executable.
    explicit CXMLSettingsAPI(const std::string& directory = std::string());
    virtual ~CXMLSettingsAPI();
    CXMLSettingsAPI(const CXMLSettingsAPI&) = delete;
    CXMLSettingsAPI& operator=(const CXMLSettingsAPI&) = delete;

    // Full path of a file name: the name with its backslashes turned into slashes, after the
    // directory and a slash unless it is a full path already.
    std::string FilePath(const std::string& fileName) const;
    const std::string& Directory() const { return m_directory; }

    // Binds the document of the file, or adds a reference when a document is bound already
    // (the name is then not compared). 0 on success; kOpenFailed when the file is missing,
    // empty or does not load; kOpenRefused when it cannot be read or is not a regular file;
    // kOpenUnknownEncoding when its encoding cannot be converted. Temporary files that a
    // killed process left beside the file are removed first.
    int32_t Open(const char* fileName);
    // Drops one reference; the last one releases the document. Returns the remaining count.
    int32_t Close();
    int32_t OpenCount();
    // Writes the whole document to its file (see presets::SaveFileContent): normally through a
    // temporary file renamed over the old one, so that the old file stays whole until the new
    // one is complete; in place where the folder takes no new file. False when the file cannot
    // be written or the document cannot be written in its encoding.
    bool Save();
    // Writes a new file holding the declaration and an empty root element, replacing any file
    // of that name (as Save does). 1 written, 0 not written. initCom is kept for the callers'
    // sake; there is nothing to initialise here.
    int32_t CreateDocumentFile(const char* rootName, const char* fileName, bool initCom);

    // The "value" attribute of the element at the path; empty when no document is open, the
    // element is missing or has no such attribute. Paths are printf-style formats.
    void ReadValue(std::wstring& value, const wchar_t* pathFormat, ...);
    // Sets the "value" attribute of the element at the path, creating missing elements. The
    // file is not saved. 1 on success, 0 otherwise.
    int32_t WriteValue(const wchar_t* value, const wchar_t* pathFormat, ...);
    // 1 when an element matches the path.
    int32_t NodeExists(const char* pathFormat, ...) __attribute__((format(printf, 2, 3)));
    // Removes the element at the path from its parent; the whitespace around it stays.
    int32_t RemoveNode(const char* pathFormat, ...) __attribute__((format(printf, 2, 3)));
    // Creates the element at the path and its missing ancestors below the root element.
    int32_t CreatePath(const wchar_t* pathFormat, ...);

    // Why the last failed Open, Save or CreateDocumentFile failed.
    std::string LastError();

    std::wstring GetAttribute(pugi::xml_node node, const wchar_t* name);
    // Gives the node an attribute with the value, replacing one of the same name.
    bool AddAttribute(pugi::xml_node node, const wchar_t* name, const wchar_t* value);
    // Sets the value of the node's existing attribute; false when it is absent.
    bool SetAttribute(pugi::xml_node node, const wchar_t* name, const wchar_t* value);

  private:
    struct Document;

    // The first element in document order that matches the slash-separated path.
    pugi::xml_node FindElement(const std::string& path);
    // The element at path, made (with its missing ancestors) when absent; empty on failure.
    pugi::xml_node FindOrCreateElement(const std::string& path);
    int32_t CreatePathUtf8(const std::string& path);
    int32_t WriteValueUtf8(const wchar_t* value, const std::string& path);
    void SetError(const std::string& text);

    std::string m_directory;
    vostrel::CLock m_openLock;  // guards m_openCount and binding/releasing the document
    int32_t m_openCount JVC_GUARDED_BY(m_openLock) = 0;
    std::unique_ptr<Document> m_document;
    std::string m_filePath;
    vostrel::CLock m_domLock;    // guards every use of m_document
    vostrel::CLock m_errorLock;  // guards m_lastError; taken last, nothing taken inside it
    std::string m_lastError JVC_GUARDED_BY(m_errorLock);
};
