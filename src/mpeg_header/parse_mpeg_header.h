#pragma once
// The MPEG-4 header routine, built as its own shared object (libDivxDecompression.so) and
// loaded by the MPEG-4 channel at run time.
#include <cstdint>

extern "C" {

// Reads the visual object sequence, visual object and video object layer headers in front of
// an MPEG-4 part 2 key frame. For a rectangular video object layer it writes the layer's
// width and height and returns 1; for anything it does not understand it returns 0 and
// writes nothing. It never reads past length bytes.
__attribute__((visibility("default"))) int ParseMpegHeader(const uint8_t* data, uint32_t length,
                                                           uint32_t* width, uint32_t* height);
}
