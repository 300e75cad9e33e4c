// Stands in for the host's core module, whose version decides how log levels are delivered.
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) int DvrCoreStub() {
    return 1;
}

// Leaves a mark in the process when the library is loaded (its constructors run): reading its
// version must not do that.
__attribute__((constructor)) static void MarkLoaded() {
    setenv("JVC_DVRCORE_CONSTRUCTED", "1", 1);
}
