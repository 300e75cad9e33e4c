#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include <cctype>

#include "platform/system.h"

namespace platform {

std::string DynamicLibrary::ModuleDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DynamicLibrary::ModuleDirectory), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    std::string path = info.dli_fname;
    if (path.find('/') == std::string::npos) {
        return {};
    }
    return DirectoryOf(path);
}

std::unique_ptr<DynamicLibrary> DynamicLibrary::Load(const std::string& moduleName) {
    if (moduleName.empty()) {
        return nullptr;
    }
    std::string soName = SharedObjectName(moduleName);
    std::string beside = ModuleDirectory();
    if (!beside.empty()) {
        std::string path = beside + "/" + soName;
        if (FileExists(path)) {
            if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
                return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(handle, path));
            }
        }
    }
    if (void* handle = dlopen(soName.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(handle, soName));
    }
    return nullptr;
}

DynamicLibrary::~DynamicLibrary() {
    if (m_handle) {
        dlclose(m_handle);
    }
}

std::string DynamicLibrary::UndecoratedName(const std::string& exportName) {
    auto at = exportName.rfind('@');
    if (exportName.size() < 4 || exportName[0] != '_' || at == std::string::npos || at < 2 ||
        at + 1 == exportName.size()) {
        return exportName;
    }
    for (size_t i = at + 1; i < exportName.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(exportName[i]))) {
            return exportName;
        }
    }
    return exportName.substr(1, at - 1);
}

void* DynamicLibrary::Symbol(const std::string& exportName) const {
    return dlsym(m_handle, UndecoratedName(exportName).c_str());
}

}  // namespace platform
