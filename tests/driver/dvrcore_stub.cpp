// Stands in for the host's core module, whose version decides how log levels are delivered.
extern "C" __attribute__((visibility("default"))) int DvrCoreStub() {
    return 1;
}
