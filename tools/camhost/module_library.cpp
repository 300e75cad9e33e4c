#include "module_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

namespace camhost {

ModuleLibrary::~ModuleLibrary() {
    if (m_handle != nullptr) {
        dlclose(m_handle);
    }
}

bool ModuleLibrary::Load(const std::string& path) {
    m_path = path;
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* why = dlerror();
        m_error = "cannot load the module " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    create = reinterpret_cast<CreateIPCaptureFn>(dlsym(m_handle, "CreateIPCapture"));
    destroy = reinterpret_cast<DeleteIPCaptureFn>(dlsym(m_handle, "DeleteIPCapture"));
    if (create == nullptr || destroy == nullptr) {
        m_error = "the module " + path + " lacks CreateIPCapture or DeleteIPCapture";
        return false;
    }
    return true;
}

void* ModuleLibrary::Symbol(const std::string& name) const {
    return m_handle != nullptr ? dlsym(m_handle, name.c_str()) : nullptr;
}

std::string DefaultModulePath(const std::string& compiledPath, const std::string& fileName,
                              const std::string& installedDir) {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto folder = self.parent_path();
        for (const auto& candidate :
             {folder / ".." / ".." / "src" / fileName, folder / installedDir / fileName}) {
            if (std::filesystem::exists(candidate, error)) {
                return candidate.lexically_normal().string();
            }
        }
    }
    return compiledPath;
}

DriverObject::DriverObject(ModuleLibrary& module, bool closeAtEnd)
    : m_module(module), m_closeAtEnd(closeAtEnd) {
    if (module.create != nullptr) {
        m_driver = static_cast<vostrel::ipcapture::IIPCaptureDriverEx3*>(module.create());
    }
}

DriverObject::~DriverObject() {
    if (m_driver != nullptr) {
        if (m_closeAtEnd) {
            m_driver->Close();
        }
        m_module.destroy(m_driver);
    }
}

}  // namespace camhost
