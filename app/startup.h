// From process start to the end of the program.
#pragma once

namespace tessel {

// Always returns 0: every way out of the program exits with code 0.
int runProgram(int argc, char** argv);

}  // namespace tessel
