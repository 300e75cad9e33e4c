// Fuzz target: a capability query whose camera answers with arbitrary bytes. The input is a
// list of answers separated by NUL bytes, taken one per parameter read in the order the query
// makes them; an answer's first byte says how the read went (failed, empty, a body) and the
// rest is the body. The query and the saving of its results must never crash, and a query
// that succeeds identifies a camera of family 1 or 2 with frame rates.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "properties/jvc_camera_properties.h"
#include "reference_host.h"

namespace {

class ScriptedCamera : public vostrel::CJvcCameraProperties {
  public:
    ScriptedCamera(const vostrel::DEVICE_INFO& info, const int32_t* standard,
                   std::string_view answers)
        : CJvcCameraProperties(info, standard), m_answers(answers) {}

  protected:
    Read ReadParams(const std::string& /*path*/, std::string& body) override {
        body.clear();
        if (m_answers.empty()) {
            return Read::kFailed;
        }
        const size_t end = std::min(m_answers.find('\0'), m_answers.size());
        std::string_view answer = m_answers.substr(0, end);
        m_answers.remove_prefix(std::min(end + 1, m_answers.size()));
        if (answer.empty() || answer[0] % 3 == 0) {
            return Read::kFailed;
        }
        if (answer[0] % 3 == 1) {
            return Read::kEmpty;
        }
        body.assign(answer.substr(1));
        return Read::kBody;
    }

  private:
    std::string_view m_answers;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vostrel::DEVICE_INFO info("127.0.0.1", 80, "admin", "secret");
    const int32_t standard = 1;
    ScriptedCamera camera(info, &standard,
                          std::string_view(reinterpret_cast<const char*>(data), size));
    int errorCode = 0;
    const bool found = camera.Query(&errorCode);
    if (found && ((camera.Family() != 1 && camera.Family() != 2) || camera.FrameRates().empty())) {
        std::abort();
    }
    host::CapabilityResults results;
    camera.Save(&results);
    return 0;
}
