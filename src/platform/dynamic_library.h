#pragma once
// Run-time loading of a shared object by its Windows-style module name, and look-up of its
// exports by their decorated standard-call names.
#include <memory>
#include <string>

namespace platform {

class DynamicLibrary {
  public:
    // "X.dll" is loaded as "libX.so": first from the folder of this module, then through the
    // dynamic loader's search. Null when neither finds it.
    static std::unique_ptr<DynamicLibrary> Load(const std::string& moduleName);
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // An export by name; a decorated "_Name@N" is looked up as "Name". Null when missing.
    void* Symbol(const std::string& exportName) const;
    const std::string& Path() const { return m_path; }

    // "_Name@16" -> "Name"; other names are returned unchanged.
    static std::string UndecoratedName(const std::string& exportName);
    // Folder of the shared object that holds this code (the module), without a trailing slash.
    static std::string ModuleDirectory();

  private:
    DynamicLibrary(void* handle, std::string path) : m_handle(handle), m_path(std::move(path)) {}
    void* m_handle;
    std::string m_path;
};

}  // namespace platform
