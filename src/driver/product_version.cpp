#include "driver/product_version.h"

#include "platform/system.h"

namespace vostrel {

bool ReadProductVersion(const std::string& fileName, ProductVersion& version) {
    version = ProductVersion{};
    if (fileName.empty()) {
        return false;
    }
    std::optional<platform::ModuleVersion> read;
    try {
        read = platform::ReadModuleVersion(fileName);
    } catch (...) {
        // Memory exhausted while searching: the version is unreadable like any other failure.
    }
    if (!read) {
        return false;
    }
    version = ProductVersion{(*read)[0], (*read)[1], (*read)[2], (*read)[3]};
    return true;
}

}  // namespace vostrel
