#pragma once
// The module's exports, resolved by name by the host.
#include "jvc_ipcapture/capability.h"
#include "jvc_ipcapture/export.h"
#include "jvc_ipcapture/ip_capture_driver.h"

// Driver objects. The four Create functions are one function under four names, as are the
// four Delete functions; every interface level of a driver is at the same address.
JVC_IPCAPTURE_API vostrel::ipcapture::IIPCaptureDriver* CreateIPCapture();
JVC_IPCAPTURE_API vostrel::ipcapture::IIPCaptureDriverEx* CreateIPCaptureEx();
JVC_IPCAPTURE_API vostrel::ipcapture::IIPCaptureDriverEx2* CreateIPCaptureEx2();
JVC_IPCAPTURE_API vostrel::ipcapture::IIPCaptureDriverEx3* CreateIPCaptureEx3();
JVC_IPCAPTURE_API void DeleteIPCapture(vostrel::ipcapture::IIPCaptureDriver* driver);
JVC_IPCAPTURE_API void DeleteIPCaptureEx(vostrel::ipcapture::IIPCaptureDriver* driver);
JVC_IPCAPTURE_API void DeleteIPCaptureEx2(vostrel::ipcapture::IIPCaptureDriver* driver);
JVC_IPCAPTURE_API void DeleteIPCaptureEx3(vostrel::ipcapture::IIPCaptureDriver* driver);

// Capability query: identifies a camera without a driver, one query at a time.
JVC_IPCAPTURE_API int InitCapabilityQuery(vostrel::ipcapture::ICapabilityCallback* callback,
                                          bool videoStandard);
JVC_IPCAPTURE_API int StartCapabilityQuery(const char* address, int port, const char* userName,
                                           const char* password,
                                           vostrel::ipcapture::ICapabilityResults* results);
JVC_IPCAPTURE_API int TerminateCapabilityQuery();
JVC_IPCAPTURE_API int UninitCapabilityQuery();

// Function types for resolving the exports with dlsym.
using CreateIPCaptureFn = vostrel::ipcapture::IIPCaptureDriver* (*)();
using DeleteIPCaptureFn = void (*)(vostrel::ipcapture::IIPCaptureDriver*);
using InitCapabilityQueryFn = int (*)(vostrel::ipcapture::ICapabilityCallback*, bool);
using StartCapabilityQueryFn = int (*)(const char*, int, const char*, const char*,
                                       vostrel::ipcapture::ICapabilityResults*);
using TerminateCapabilityQueryFn = int (*)();
using UninitCapabilityQueryFn = int (*)();
