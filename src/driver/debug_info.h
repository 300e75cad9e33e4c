#pragma once
// CDebugInfo: the log record handed to the host's sink, valid during the call only.
#include <memory>
#include <string>

#include "jvc_ipcapture/debug_message.h"

namespace vostrel {

class CDebugInfo : public CDebugInfoIf {
  public:
    CDebugInfo(char level, const std::string& text);
    ~CDebugInfo() override = default;
    char GetLevel() const override { return m_level; }
    const char* GetText() const override { return m_text.get(); }

  private:
    char m_level;
    std::unique_ptr<char[]> m_text;  // null when the message is empty
};

}  // namespace vostrel
