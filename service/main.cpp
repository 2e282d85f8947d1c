// tessel-serverd: the bridge without a window, for machines with no desktop.
#include "service/service.h"

int main(int argc, char** argv) { return tessel::runService(argc, argv); }
