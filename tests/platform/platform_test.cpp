// Operating-system layer: module versions from shared-object names, file times, paths.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/event.h"
#include "platform/network.h"
#include "platform/system.h"
#include "platform/thread.h"

using namespace platform;

TEST(ModuleVersionTest, ReadFromTheVersionedFileName) {
    EXPECT_EQ(VersionFromSharedObjectName("/usr/lib/libdvrcore.so.5.12.3"),
              (ModuleVersion{5, 12, 3, 0}));
    EXPECT_EQ(VersionFromSharedObjectName("libdvrcore.so.5.11.9.9"), (ModuleVersion{5, 11, 9, 9}));
    EXPECT_EQ(VersionFromSharedObjectName("libdvrcore.so.6"), (ModuleVersion{6, 0, 0, 0}));
    EXPECT_FALSE(VersionFromSharedObjectName("libdvrcore.so"));
    EXPECT_FALSE(VersionFromSharedObjectName("libdvrcore.so.5.x"));
    EXPECT_FALSE(VersionFromSharedObjectName("libdvrcore.so.5."));
    EXPECT_FALSE(VersionFromSharedObjectName("libdvrcore.so.70000"));  // beyond 16 bits
    EXPECT_FALSE(VersionFromSharedObjectName("libdvrcore.so.1.2.3.4.5"));
    EXPECT_FALSE(ReadModuleVersion(""));
    EXPECT_FALSE(ReadModuleVersion("no-such-module-here.dll"));
}

// A library reachable only through a folder of the loader's configuration (as /usr/local/lib
// is on Debian) is found there, by file name, without being loaded.
TEST(ModuleVersionTest, FoundInTheFoldersOfTheLoadersConfiguration) {
    char pattern[] = "/tmp/jvc-ldconf-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    auto write = [](const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    };
    ASSERT_EQ(mkdir((root + "/conf.d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/local").c_str(), 0755), 0);
    write(root + "/ld.so.conf",
          "# the loader's folders\ninclude conf.d/*.conf\n" + root + "/direct\nhwcap 0 nosegneg\n");
    write(root + "/conf.d/b.conf", root + "/b1, " + root + "/b2:" + root + "/b3=libc6\n");
    write(root + "/conf.d/a.conf", "\t" + root + "/local   # trailing comment\n");
    write(root + "/conf.d/a.conf.disabled", root + "/never\n");
    EXPECT_EQ(ConfiguredLibraryFolders(root + "/ld.so.conf"),
              (std::vector<std::string>{root + "/local", root + "/b1", root + "/b2", root + "/b3",
                                        root + "/direct"}));
    EXPECT_TRUE(ConfiguredLibraryFolders(root + "/missing.conf").empty());

    write(root + "/local/libjvcfakecore.so.4.7.1", "");
    ASSERT_EQ(symlink("libjvcfakecore.so.4.7.1", (root + "/local/libjvcfakecore.so").c_str()), 0);
    EXPECT_EQ(ReadModuleVersion("jvcfakecore.dll", root + "/ld.so.conf"),
              (ModuleVersion{4, 7, 1, 0}));
    EXPECT_FALSE(ReadModuleVersion("jvcfakecore.dll", root + "/missing.conf"));

    // A configuration that includes itself ends.
    write(root + "/conf.d/z.conf", "include ../ld.so.conf\n");
    const std::vector<std::string> looped = ConfiguredLibraryFolders(root + "/ld.so.conf");
    EXPECT_GT(looped.size(), 5u);
    EXPECT_LT(looped.size(), 100u);

    std::filesystem::remove_all(root);
}

TEST(ModuleVersionTest, WindowsNamesMapToSharedObjects) {
    EXPECT_EQ(SharedObjectName("dvrcore.dll"), "libdvrcore.so");
    EXPECT_EQ(SharedObjectName("DivxDecompression.DLL"), "libDivxDecompression.so");
    EXPECT_EQ(SharedObjectName("plain"), "libplain.so");
}

TEST(SystemTest, FilesPathsAndTime) {
    std::string exe = ExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(FileExists(exe));
    EXPECT_EQ(DirectoryOf("/a/b/c.xml"), "/a/b");
    EXPECT_EQ(DirectoryOf("/c.xml"), "/");
    EXPECT_EQ(DirectoryOf("c.xml"), "");

    std::string path = testing::TempDir() + "platform_test_size.bin";
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(1234, 'z');
    }
    EXPECT_EQ(FileSize(path), 1234u);
    std::remove(path.c_str());
    EXPECT_FALSE(FileSize(path));
    EXPECT_FALSE(FileExists(path));

    // 1970-01-01 is 116444736000000000 in file time units.
    EXPECT_GT(CurrentFileTime(), 116444736000000000ull);
}

TEST(ThreadTest, JoinWithTimeOutAndExitCode) {
    static platform::Event release(true);
    auto thread = Thread::Start(
        [](void*) -> int {
            release.Wait(kInfinite);
            return 42;
        },
        nullptr);
    ASSERT_TRUE(thread);
    EXPECT_NE(thread->Id(), 0u);
    EXPECT_NE(thread->Id(), CurrentThreadId());
    EXPECT_FALSE(thread->Join(10));  // still waiting
    EXPECT_FALSE(thread->HasEnded());
    release.Set();
    EXPECT_TRUE(thread->Join(kInfinite));
    EXPECT_EQ(thread->ExitCode(), 42);
}

TEST(ThreadTest, ThreadIdIsTheKernelsOnEveryThreadAndAfterFork) {
    const auto kernelId = [] { return static_cast<uint32_t>(syscall(SYS_gettid)); };
    EXPECT_EQ(CurrentThreadId(), kernelId());
    EXPECT_EQ(CurrentThreadId(), kernelId());  // the cached answer
    uint32_t seen = 0;
    uint32_t actual = 0;
    std::thread other([&] {
        seen = CurrentThreadId();
        actual = kernelId();
    });
    other.join();
    EXPECT_EQ(seen, actual);
    EXPECT_NE(seen, CurrentThreadId());

    // The forking thread has its id cached; the child's thread is another one.
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(CurrentThreadId() == kernelId() ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(NetworkTest, ReferencesAreCountedAndBalanced) {
    int before = NetworkReferenceCount();
    ASSERT_TRUE(NetworkStartup());
    ASSERT_TRUE(NetworkStartup());
    EXPECT_EQ(NetworkReferenceCount(), before + 2);
    NetworkCleanup();
    NetworkCleanup();
    EXPECT_EQ(NetworkReferenceCount(), before);
    NetworkCleanup();  // an unbalanced release never goes below zero
    EXPECT_GE(NetworkReferenceCount(), 0);
}

TEST(DynamicLibraryTest, DecoratedExportNamesAndMissingLibraries) {
    EXPECT_EQ(DynamicLibrary::UndecoratedName("_ParseMpegHeader@16"), "ParseMpegHeader");
    EXPECT_EQ(DynamicLibrary::UndecoratedName("ParseMpegHeader"), "ParseMpegHeader");
    EXPECT_EQ(DynamicLibrary::UndecoratedName("_Name@"), "_Name@");
    EXPECT_EQ(DynamicLibrary::UndecoratedName("_Name@1x"), "_Name@1x");
    EXPECT_EQ(DynamicLibrary::UndecoratedName("Name@4"), "Name@4");
    EXPECT_EQ(DynamicLibrary::Load("NoSuchLibraryAnywhere.dll"), nullptr);
    EXPECT_EQ(DynamicLibrary::Load(""), nullptr);
    // Loading by module name and decorated look-up are exercised with the header routine's
    // library in the MPEG parser tests.
}
