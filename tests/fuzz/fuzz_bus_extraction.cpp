#include "extraction_properties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tessel::fuzz::checkExtraction(tessel::FrameExtractor::Side::Bus, data, size);
    return 0;
}
