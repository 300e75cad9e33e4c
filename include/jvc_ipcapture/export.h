#pragma once
// Marks the few symbols the module exports; everything else in the module is hidden.
#if defined(JVC_IPCAPTURE_BUILDING)
#define JVC_IPCAPTURE_API extern "C" __attribute__((visibility("default")))
#else
#define JVC_IPCAPTURE_API extern "C"
#endif
