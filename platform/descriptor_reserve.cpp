#include "platform/descriptor_reserve.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>

namespace tessel {

DescriptorReserve::DescriptorReserve() : spare_(::open("/dev/null", O_RDONLY | O_CLOEXEC)) {}

bool DescriptorReserve::refuse(int listener) {
    if (!spare_.valid()) spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!spare_.valid()) return false;
    spare_.reset();
    UniqueFd refused(::accept(listener, nullptr, nullptr));
    const bool taken = refused.valid();
    refused.reset();
    spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!taken) return false;
    ++refusals_;
    if (!short_) ++shortages_;
    short_ = true;
    return true;
}

bool outOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

}  // namespace tessel
