#pragma once
// Names for the numbers that cross the module's interfaces: log types, result codes of a
// camera exchange, camera families and stream types. The values are fixed by the host and
// the camera; only the names are ours.
#include <cstdint>

namespace vostrel {

// Types of IDebugMessage::DebugMessage.
enum LogType : int {
    kLogFailure = 1,  // something failed
    kLogState = 3,    // a state report
    kLogHidden = 4,   // formatted but never handed to the host
};

// Codes of a camera exchange's result record (CResultDef::code).
enum ResultCode : int32_t {
    kResultOk = 0,
    kResultStatusRejected = 6,  // the camera answered with a status the caller does not accept
    kResultNotSent = 9,         // request not sent, or no status code
    kResultEmptyBody = 10,      // the body asked for was empty
    kResultNotSet = 11,         // a channel parameter or digital output was not set
};

// Camera families, driver parameter 2.
enum CameraFamily : int {
    kFamilyVnV = 1,  // encoder picture size set per encoder ("encode(N).framesize")
    kFamilyVnX = 2,  // picture size set through "system.mode"
};

// Stream types of the host's connection settings.
enum StreamType : int {
    kStreamMjpeg = 1,
    kStreamMpeg4 = 2,
};

}  // namespace vostrel
