#include "platform/system.h"

#include <dlfcn.h>
#include <glob.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

namespace platform {

uint64_t CurrentFileTime() {
    // Seconds between 1601-01-01 and 1970-01-01.
    constexpr uint64_t kEpochDifference = 11644473600ull;
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto units = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
    return static_cast<uint64_t>(units) + kEpochDifference * 10000000ull;
}

uint64_t SteadyMilliseconds() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) {
        return {};
    }
    return std::string(buffer, static_cast<size_t>(n));
}

std::string DirectoryOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool IsAbsolutePath(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

std::optional<uint64_t> FileSize(const std::string& path) {
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(st.st_size);
}

std::string SharedObjectName(const std::string& moduleName) {
    std::string base = moduleName;
    if (base.size() > 4 && strcasecmp(base.c_str() + base.size() - 4, ".dll") == 0) {
        base.resize(base.size() - 4);
    }
    return "lib" + base + ".so";
}

std::optional<ModuleVersion> VersionFromSharedObjectName(const std::string& fileName) {
    auto slash = fileName.find_last_of('/');
    std::string name = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    auto pos = name.find(".so.");
    if (pos == std::string::npos) {
        return std::nullopt;
    }
    ModuleVersion version{0, 0, 0, 0};
    const char* p = name.c_str() + pos + 4;
    for (size_t i = 0; i < version.size(); ++i) {
        if (*p < '0' || *p > '9') {
            return std::nullopt;
        }
        unsigned long value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<unsigned long>(*p - '0');
            if (value > 0xFFFF) {
                return std::nullopt;
            }
            ++p;
        }
        version[i] = static_cast<uint16_t>(value);
        if (*p == '\0') {
            return version;
        }
        if (*p != '.') {
            return std::nullopt;
        }
        ++p;
    }
    return std::nullopt;
}

namespace {

std::string RealPath(const char* path) {
    std::unique_ptr<char, decltype(&free)> resolved(realpath(path, nullptr), &free);
    return resolved ? std::string(resolved.get()) : std::string(path);
}

struct LoadedSearch {
    std::string soName;
    std::string found;
};

int FindLoaded(struct dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<LoadedSearch*>(data);
    if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') {
        return 0;
    }
    const char* slash = strrchr(info->dlpi_name, '/');
    const char* base = slash ? slash + 1 : info->dlpi_name;
    size_t len = search->soName.size();
    if (strncmp(base, search->soName.c_str(), len) == 0 &&
        (base[len] == '\0' || base[len] == '.')) {
        search->found = info->dlpi_name;
        return 1;
    }
    return 0;
}

// The folders the dynamic loader searches for a library that this module loads: its run
// paths, LD_LIBRARY_PATH and the system folders, in the loader's order. Asking for them loads
// nothing: the handle is this module's own (or the program's), which is loaded already.
std::vector<std::string> LoaderSearchFolders() {
    void* handle = nullptr;
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&LoaderSearchFolders), &self) != 0 &&
        self.dli_fname != nullptr) {
        handle = dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    }
    if (handle == nullptr) {
        handle = dlopen(nullptr, RTLD_LAZY);
    }
    if (handle == nullptr) {
        return {};
    }
    const std::unique_ptr<void, int (*)(void*)> release(handle, &dlclose);
    std::vector<std::string> folders;
    Dl_serinfo size{};
    if (dlinfo(handle, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
        std::unique_ptr<Dl_serinfo, decltype(&free)> info(
            static_cast<Dl_serinfo*>(malloc(size.dls_size)), &free);
        if (info) {
            info->dls_size = size.dls_size;
            info->dls_cnt = size.dls_cnt;
            if (dlinfo(handle, RTLD_DI_SERINFO, info.get()) == 0) {
                for (unsigned i = 0; i < info->dls_cnt; ++i) {
                    const char* name = info->dls_serpath[i].dls_name;
                    folders.emplace_back(name != nullptr && name[0] != '\0' ? name : ".");
                }
            }
        }
    }
    return folders;
}

void ReadConfiguredFolders(const std::string& file, int depth, std::vector<std::string>& out) {
    constexpr int kMaxIncludeDepth = 8;
    std::ifstream in(file);
    if (!in || depth > kMaxIncludeDepth) {
        return;
    }
    const std::string folderOfFile = DirectoryOf(file);
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        for (char& c : line) {
            if (c == '\t' || c == ',' || c == ':' || c == '\r') {
                c = ' ';
            }
        }
        std::vector<std::string> words;
        size_t pos = 0;
        while ((pos = line.find_first_not_of(' ', pos)) != std::string::npos) {
            const size_t end = line.find(' ', pos);
            words.push_back(line.substr(pos, end == std::string::npos ? end : end - pos));
            pos = end;
        }
        if (words.empty() || words[0] == "hwcap") {
            continue;
        }
        if (words[0] == "include") {
            for (size_t i = 1; i < words.size(); ++i) {
                std::string pattern = words[i];
                if (pattern[0] != '/') {
                    pattern = (folderOfFile.empty() ? "." : folderOfFile) + "/" + pattern;
                }
                // Freed however the reading below ends (it may throw bad_alloc).
                struct Matches {
                    glob_t paths{};
                    ~Matches() { globfree(&paths); }
                } matches;
                if (glob(pattern.c_str(), 0, nullptr, &matches.paths) == 0) {
                    for (size_t m = 0; m < matches.paths.gl_pathc; ++m) {  // sorted by glob
                        ReadConfiguredFolders(matches.paths.gl_pathv[m], depth + 1, out);
                    }
                }
            }
            continue;
        }
        for (std::string& word : words) {
            // An old form names a library type after the folder: "/opt/lib=libc6".
            word = word.substr(0, word.find('='));
            if (!word.empty() && word[0] == '/') {
                out.push_back(word);
            }
        }
    }
}

// The system folders the loader searches last; the configured folders (through its cache)
// come before them.
bool IsSystemLibraryFolder(const std::string& folder) {
    for (const char* system : {"/lib", "/usr/lib", "/lib64", "/usr/lib64"}) {
        const size_t len = strlen(system);
        if (folder.compare(0, len, system) == 0 && (folder.size() == len || folder[len] == '/')) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> ConfiguredLibraryFolders(const std::string& ldConfig) {
    std::vector<std::string> folders;
    ReadConfiguredFolders(ldConfig, 0, folders);
    return folders;
}

std::optional<ModuleVersion> ReadModuleVersion(const std::string& moduleName,
                                               const std::string& ldConfig) {
    if (moduleName.empty()) {
        return std::nullopt;
    }
    // Only the file name is read, so the module is looked for, never loaded (loading would
    // run its constructors inside the caller): first among the loaded objects, then by file
    // name in the loader's search folders.
    LoadedSearch search{SharedObjectName(moduleName), {}};
    dl_iterate_phdr(&FindLoaded, &search);
    std::string path;
    if (!search.found.empty()) {
        path = RealPath(search.found.c_str());
    } else {
        // The loader's own list leaves out the folders it finds through its cache: those of
        // its configuration, searched after LD_LIBRARY_PATH and the run paths and before the
        // system folders.
        std::vector<std::string> folders = LoaderSearchFolders();
        auto systemStart = std::find_if(folders.begin(), folders.end(), IsSystemLibraryFolder);
        const std::vector<std::string> configured = ConfiguredLibraryFolders(ldConfig);
        folders.insert(systemStart, configured.begin(), configured.end());
        for (const std::string& folder : folders) {
            const std::string candidate = folder + "/" + search.soName;
            struct stat st {};
            if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                path = RealPath(candidate.c_str());
                break;
            }
        }
    }
    if (path.empty()) {
        return std::nullopt;
    }
    return VersionFromSharedObjectName(path);
}

}  // namespace platform
