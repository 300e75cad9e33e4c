#pragma once
// The product version of a module file, as four 16-bit numbers.
#include <cstdint>
#include <string>

namespace vostrel {

struct ProductVersion {
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t build = 0;
    uint16_t revision = 0;

    // True when this version is below major.minor.
    bool Below(uint16_t otherMajor, uint16_t otherMinor) const {
        return major < otherMajor || (major == otherMajor && minor < otherMinor);
    }
};

// Reads the product version of a module; on failure sets all four numbers to 0 and returns
// false.
bool ReadProductVersion(const std::string& fileName, ProductVersion& version);

}  // namespace vostrel
