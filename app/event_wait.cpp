// The event wait: one poll for the toolkit's own descriptors and the bridge's together, so the
// window's events and the bus and the clients are served by the one loop.
#include <algorithm>

#include "app/gui.h"

namespace tessel {

WindowEvent Gui::waitWindowEvent(int timeoutMs, std::span<pollfd> watched, bool* ioReady) {
    if (ioReady != nullptr) *ioReady = false;
    if (!events_.empty()) {
        // No wait, but the caller still learns which descriptors are ready.
        std::vector<pollfd> fds(watched.begin(), watched.end());
        const int polled = ::poll(fds.data(), fds.size(), 0);
        for (std::size_t i = 0; i < watched.size(); ++i) {
            watched[i].revents = polled > 0 ? fds[i].revents : 0;
            if (watched[i].revents != 0 && ioReady != nullptr) *ioReady = true;
        }
        WindowEvent e = events_.front();
        events_.pop_front();
        return e;
    }
    GMainContext* ctx = g_main_context_default();
    if (!g_main_context_acquire(ctx)) return {};
    gint maxPriority = 0;
    const bool ready = g_main_context_prepare(ctx, &maxPriority);
    gint toolkitTimeout = -1;
    if (pollScratch_.size() < 16) pollScratch_.resize(16);
    gint n = g_main_context_query(ctx, maxPriority, &toolkitTimeout, pollScratch_.data(),
                                  static_cast<gint>(pollScratch_.size()));
    if (static_cast<std::size_t>(n) > pollScratch_.size()) {
        pollScratch_.resize(static_cast<std::size_t>(n));
        n = g_main_context_query(ctx, maxPriority, &toolkitTimeout, pollScratch_.data(), n);
    }
    int timeout = std::max(timeoutMs, 0);
    if (ready) {
        timeout = 0;
    } else if (toolkitTimeout >= 0) {
        timeout = std::min(timeout, static_cast<int>(toolkitTimeout));
    }

    std::vector<pollfd> fds;
    fds.reserve(static_cast<std::size_t>(n) + watched.size());
    for (gint i = 0; i < n; ++i) {
        fds.push_back({pollScratch_[static_cast<std::size_t>(i)].fd,
                       static_cast<short>(pollScratch_[static_cast<std::size_t>(i)].events), 0});
    }
    for (const pollfd& w : watched) fds.push_back({w.fd, w.events, 0});
    const int polled = ::poll(fds.data(), fds.size(), timeout);
    for (gint i = 0; i < n; ++i) {
        pollScratch_[static_cast<std::size_t>(i)].revents =
            polled > 0 ? static_cast<gushort>(fds[static_cast<std::size_t>(i)].revents) : 0;
    }
    for (std::size_t i = 0; i < watched.size(); ++i) {
        watched[i].revents = polled > 0 ? fds[static_cast<std::size_t>(n) + i].revents : 0;
        if (watched[i].revents != 0 && ioReady != nullptr) *ioReady = true;
    }
    bool dispatched = false;
    if (g_main_context_check(ctx, maxPriority, pollScratch_.data(), n)) {
        g_main_context_dispatch(ctx);
        dispatched = true;
    }
    g_main_context_release(ctx);
    if (!events_.empty()) {
        WindowEvent e = events_.front();
        events_.pop_front();
        return e;
    }
    return {dispatched ? WindowEventCode::Handled : WindowEventCode::None, 0, 0};
}

}  // namespace tessel
