// Fuzz target: judging camera answers and taking values out of them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/param_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    unsigned status = 0;
    std::string error;
    vostrel::Utils::CheckResponse(text, status, error);
    auto split = text.find('\n');
    std::string name = split == std::string::npos ? text.substr(0, 8) : text.substr(0, split);
    vostrel::Utils::GetParameterValue(name, "=", text, vostrel::Utils::kParamDelimiters);
    int value = 0;
    vostrel::Utils::ParseInt(name, value);
    return 0;
}
