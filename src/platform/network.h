#pragma once
// Process-wide reference count around the HTTP library's global initialisation. Every
// running video channel holds one reference; the library is initialised by the first
// reference and cleaned up when the last one is released.

namespace platform {

// Takes a reference; false when the library could not be initialised (no reference is held).
bool NetworkStartup();
// Releases a reference taken by a successful NetworkStartup.
void NetworkCleanup();
// References currently held (for tests).
int NetworkReferenceCount();

}  // namespace platform
