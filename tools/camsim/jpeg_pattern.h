#pragma once
// Test pictures of the simulated camera: real JPEGs (libjpeg-turbo) of a moving pattern that
// carries its frame number in big black/white blocks.
#include <memory>
#include <string>
#include <vector>

#include "camera_simulator.h"

namespace camsim::detail {

// Frame-number blocks: 16 bits, most significant first, in one row of 16 cells across the
// top of the picture (white = 1), and the same bits inverted in the row below as a check.
// Each cell is width/16 by height/12 pixels.
constexpr unsigned kFrameBits = 16;

// The ring of `count` pictures for a size and camera model (named in the pictures' first
// comment segment), encoded once per process and reused.
std::shared_ptr<const std::vector<JpegPicture>> JpegRingFor(unsigned width, unsigned height,
                                                            unsigned count, int quality,
                                                            const std::string& model);

// Encodes one test picture (used by JpegRingFor), laid out as described at JpegPicture.
std::vector<uint8_t> EncodeTestPicture(unsigned width, unsigned height, unsigned frame_number,
                                       unsigned ring_size, int quality, const std::string& model);

}  // namespace camsim::detail
