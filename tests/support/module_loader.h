#pragma once
// Loads the built module the way a host does: dlopen, then each export by name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "jvc_ipcapture/exports.h"

struct LoadedModule {
    void* handle = nullptr;
    CreateIPCaptureFn create[4] = {};
    DeleteIPCaptureFn destroy[4] = {};

    bool Load(const std::string& path) {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            ADD_FAILURE() << dlerror();
            return false;
        }
        const char* createNames[] = {"CreateIPCapture", "CreateIPCaptureEx", "CreateIPCaptureEx2",
                                     "CreateIPCaptureEx3"};
        const char* deleteNames[] = {"DeleteIPCapture", "DeleteIPCaptureEx", "DeleteIPCaptureEx2",
                                     "DeleteIPCaptureEx3"};
        for (int i = 0; i < 4; ++i) {
            create[i] = reinterpret_cast<CreateIPCaptureFn>(dlsym(handle, createNames[i]));
            destroy[i] = reinterpret_cast<DeleteIPCaptureFn>(dlsym(handle, deleteNames[i]));
            if (create[i] == nullptr || destroy[i] == nullptr) {
                ADD_FAILURE() << "missing export " << createNames[i] << " / " << deleteNames[i];
                return false;
            }
        }
        return true;
    }
    ~LoadedModule() {
        if (handle) {
            dlclose(handle);
        }
    }
};
