#pragma once
// The live view page (tools/camhost/page/), built into the program.
#include <cstddef>
#include <string>

namespace camhost {

struct PageFile {
    const char* name;  // "index.html"
    const char* type;  // its Content-Type
    const unsigned char* data;
    size_t size;
};

// The file of that name, or null.
const PageFile* FindPageFile(const std::string& name);

}  // namespace camhost
