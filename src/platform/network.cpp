#include "platform/network.h"

#include <curl/curl.h>

#include <mutex>

namespace platform {

namespace {
std::mutex g_networkMutex;
int g_networkReferences = 0;
}  // namespace

bool NetworkStartup() {
    std::lock_guard<std::mutex> guard(g_networkMutex);
    if (g_networkReferences == 0 && curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        return false;
    }
    ++g_networkReferences;
    return true;
}

void NetworkCleanup() {
    std::lock_guard<std::mutex> guard(g_networkMutex);
    if (g_networkReferences == 0) {
        return;
    }
    if (--g_networkReferences == 0) {
        curl_global_cleanup();
    }
}

int NetworkReferenceCount() {
    std::lock_guard<std::mutex> guard(g_networkMutex);
    return g_networkReferences;
}

}  // namespace platform
