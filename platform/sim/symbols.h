// What a kernel debugger does with an image's symbols: find a loaded
// driver's global by name, so a test can inspect or seed driver-wide state
// the way a developer would from the debugger.
#pragma once

#include <string>

namespace sim {

// Address of a symbol (global data or function) of the loaded image at
// path, or nullptr when the image is not loaded or has no such symbol.
void* image_symbol(const std::string& image_path, const std::string& name);

// The image a program loads for image: the one CDC_DRIVER_IMAGE in the
// environment names, if any (the mutation runner runs one build's tests
// against another build's driver), else image itself.
std::string image_in_use(const std::string& image);

}  // namespace sim
