#include "service/service_shell.h"


namespace tessel {

WaitOutcome ServiceShell::wait(Bridge&, int timeoutMs, std::span<pollfd> watched) {
    fds_.assign(watched.begin(), watched.end());
    fds_.push_back({stopSignals_, POLLIN, 0});
    const int ready = ::poll(fds_.data(), fds_.size(), timeoutMs);
    for (std::size_t i = 0; i < watched.size(); ++i) watched[i].revents = ready > 0 ? fds_[i].revents : 0;
    // The pass that follows still forwards what has come, then the service ends.
    return ready > 0 && (fds_.back().revents & POLLIN) != 0 ? WaitOutcome::CloseAfterPass
                                                             : WaitOutcome::Continue;
}

void ServiceShell::clientJoined(const ClientRecord& r) { writeJournalLine(out_, clientJoinedLine(r)); }

void ServiceShell::clientLeft(const ClientRecord& r) { writeJournalLine(out_, clientLeftLine(r)); }

void ServiceShell::clientRefused(const std::string& peer, const std::string& reason) {
    writeJournalLine(out_, clientRefusedLine(peer, reason));
}

void ServiceShell::serialLost(const std::string& device) {
    writeJournalLine(out_, serialLostLine(device));
}

void ServiceShell::serialBack(const std::string& device) {
    writeJournalLine(out_, serialBackLine(device));
}

}  // namespace tessel
