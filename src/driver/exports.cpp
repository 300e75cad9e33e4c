// The module's exported entry points.
#define JVC_IPCAPTURE_BUILDING
#include "jvc_ipcapture/exports.h"

#include <new>

#include "driver/capability_query.h"
#include "driver/jvc_ip_capture_driver.h"

using vostrel::ipcapture::IIPCaptureDriver;
using vostrel::ipcapture::IIPCaptureDriverEx3;

namespace {

IIPCaptureDriverEx3* NewDriver() {
    try {
        return new vostrel::CJvcIPCaptureDriver();
    } catch (...) {
        return nullptr;
    }
}

void DestroyDriver(IIPCaptureDriver* driver) {
    // Runs the deleting destructor: the module frees what it allocated.
    delete driver;
}

}  // namespace

JVC_IPCAPTURE_API IIPCaptureDriver* CreateIPCapture() {
    return NewDriver();
}
JVC_IPCAPTURE_API vostrel::ipcapture::IIPCaptureDriverEx* CreateIPCaptureEx() {
    return NewDriver();
}
JVC_IPCAPTURE_API vostrel::ipcapture::IIPCaptureDriverEx2* CreateIPCaptureEx2() {
    return NewDriver();
}
JVC_IPCAPTURE_API IIPCaptureDriverEx3* CreateIPCaptureEx3() {
    return NewDriver();
}

JVC_IPCAPTURE_API void DeleteIPCapture(IIPCaptureDriver* driver) {
    DestroyDriver(driver);
}
JVC_IPCAPTURE_API void DeleteIPCaptureEx(IIPCaptureDriver* driver) {
    DestroyDriver(driver);
}
JVC_IPCAPTURE_API void DeleteIPCaptureEx2(IIPCaptureDriver* driver) {
    DestroyDriver(driver);
}
JVC_IPCAPTURE_API void DeleteIPCaptureEx3(IIPCaptureDriver* driver) {
    DestroyDriver(driver);
}

JVC_IPCAPTURE_API int InitCapabilityQuery(vostrel::ipcapture::ICapabilityCallback* callback,
                                          bool videoStandard) {
    return vostrel::CCapabilityQuery::Instance().Init(callback, videoStandard);
}
JVC_IPCAPTURE_API int StartCapabilityQuery(const char* address, int port, const char* userName,
                                           const char* password,
                                           vostrel::ipcapture::ICapabilityResults* results) {
    return vostrel::CCapabilityQuery::Instance().Start(address, port, userName, password, results);
}
JVC_IPCAPTURE_API int TerminateCapabilityQuery() {
    return vostrel::CCapabilityQuery::Instance().Terminate();
}
JVC_IPCAPTURE_API int UninitCapabilityQuery() {
    return vostrel::CCapabilityQuery::Instance().Uninit();
}
