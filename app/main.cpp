// tessel-server: shares one Velbus bus interface among any number of TCP clients.
#include "app/startup.h"

int main(int argc, char** argv) { return tessel::runProgram(argc, argv); }
