#pragma once
// The driver module loaded the way a recording server loads it: dlopen, then the exports by
// name.
#include <string>

#include "jvc_ipcapture/exports.h"
#include "jvc_ipcapture/ip_capture_driver.h"

namespace camhost {

class ModuleLibrary {
  public:
    ModuleLibrary() = default;
    ~ModuleLibrary();
    ModuleLibrary(const ModuleLibrary&) = delete;
    ModuleLibrary& operator=(const ModuleLibrary&) = delete;

    // Loads the module and resolves CreateIPCapture / DeleteIPCapture. False with error() set
    // when the file does not load or an export is missing.
    bool Load(const std::string& path);
    const std::string& error() const { return m_error; }
    const std::string& path() const { return m_path; }

    // Another export of the loaded module by name, or null.
    void* Symbol(const std::string& name) const;

    CreateIPCaptureFn create = nullptr;
    DeleteIPCaptureFn destroy = nullptr;

  private:
    void* m_handle = nullptr;
    std::string m_path;
    std::string m_error;
};

// A driver object made by the loaded module, deleted (DeleteIPCapture) when this goes; with
// closeAtEnd it is closed first.
class DriverObject {
  public:
    explicit DriverObject(ModuleLibrary& module, bool closeAtEnd = false);
    ~DriverObject();
    DriverObject(const DriverObject&) = delete;
    DriverObject& operator=(const DriverObject&) = delete;

    // Null when the module made none.
    vostrel::ipcapture::IIPCaptureDriverEx3* get() const { return m_driver; }
    vostrel::ipcapture::IIPCaptureDriverEx3* operator->() const { return m_driver; }

  private:
    ModuleLibrary& m_module;
    vostrel::ipcapture::IIPCaptureDriverEx3* m_driver = nullptr;
    bool m_closeAtEnd;
};

// The module to load when no path is given: the one built next to the running program
// (build/<preset>/src/ beside build/<preset>/tools/camhost/), else the installed one
// (installedDir, relative to the program's folder: bin/../lib/jvc_ipcapture/), else the path
// compiled in.
std::string DefaultModulePath(const std::string& compiledPath, const std::string& fileName,
                              const std::string& installedDir);

}  // namespace camhost
