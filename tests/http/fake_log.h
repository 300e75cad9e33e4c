#pragma once
// An IDebugMessage that records each message's type and text.
#include <cstdarg>
#include <string>
#include <utility>
#include <vector>

#include "http/text_utils.h"
#include "jvc_ipcapture/debug_message.h"

namespace testing_http {

class FakeLog : public IDebugMessage {
  public:
    void DebugMessage(int type, const char* format, ...) override
        __attribute__((format(printf, 3, 4))) {
        va_list args;
        va_start(args, format);
        records.emplace_back(type, vostrel::Utils::FormatStringV(format, args));
        va_end(args);
        formats.emplace_back(format);
    }
    std::vector<std::pair<int, std::string>> records;
    std::vector<std::string> formats;
};

}  // namespace testing_http
