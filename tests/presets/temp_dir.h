#pragma once
// A unique directory under the system's temporary directory, removed with its content.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace presets_test {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "presets-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        if (!m_path.empty()) {
            // Tests may take write access away from folders; give it back so that the owner
            // can remove their content.
            namespace fs = std::filesystem;
            fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
            for (auto it = fs::recursive_directory_iterator(m_path, ignored);
                 it != fs::recursive_directory_iterator(); it.increment(ignored)) {
                if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
                    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add,
                                    ignored);
                }
                if (ignored) {
                    break;
                }
            }
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

    // Names of the entries in the directory.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_path)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

  private:
    std::string m_path;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace presets_test
