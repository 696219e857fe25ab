// The command-line program: plugs a simulated device into a simulated host
// running the driver and shows what happens.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace cdcbus {

// Runs the program with the given arguments; output goes to the given
// streams. Returns the exit status: 0 done, 1 the run failed, 2 bad usage or
// unreadable input.
int run(int argc, char** argv, FILE* out = stdout, FILE* err = stderr);
int run(const std::vector<std::string>& args, FILE* out, FILE* err);

// Where the driver image lives: beside the program, else where the build put it.
std::string driver_image_path();

}  // namespace cdcbus
