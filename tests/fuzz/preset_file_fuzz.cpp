// Fuzz target: arbitrary bytes as a preset file, through the XML settings layer and the preset
// reader. Opening must never crash or hang; when a file opens, its records read without
// crashing, and a record written and saved reads back the same from a fresh reader.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "presets/xml_preposition_reader.h"

namespace {

// A folder of its own, on a memory file system where there is one (saves sync the file),
// removed at exit. The name is never destroyed, so the exit handler can still use it.
const std::string& Folder() {
    static const std::string& folder = *[] {
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        auto* pattern = new std::string((base / "preset-fuzz-XXXXXX").string());
        if (mkdtemp(pattern->data()) == nullptr) {
            std::abort();
        }
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(Folder(), ignored);
        });
        return pattern;
    }();
    return folder;
}

void Empty(const std::string& folder) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
        std::filesystem::remove_all(entry.path(), ignored);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& folder = Folder();
    Empty(folder);
    if (FILE* file = std::fopen((folder + "/p.xml").c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    bool saved = false;
    {
        CXMLPrepositionReader reader("JVC", folder);
        if (!reader.Open("p.xml")) {
            return 0;
        }
        for (int32_t channel = 0; channel < 3; ++channel) {
            for (int32_t index = 0; index < 4; ++index) {
                PrepositionRecord record;
                reader.ReadPreposition(channel, index, record);
            }
        }
        saved = reader.WritePreposition(1, 2, PrepositionRecord{"fuzz \xC3\xA9", 7});
    }
    if (saved) {
        CXMLPrepositionReader again("JVC", folder);
        PrepositionRecord record;
        if (!again.Open("p.xml") || !again.ReadPreposition(1, 2, record) ||
            record.name != "fuzz \xC3\xA9" || record.slot != 7) {
            std::abort();  // a record reported saved was lost
        }
    }
    return 0;
}
