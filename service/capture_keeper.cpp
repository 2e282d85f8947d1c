#include "service/capture_keeper.h"

#include <ctime>

#include "platform/date.h"

namespace tessel {

namespace {

// The source of a run: the client its record names, or the service itself.
std::int64_t runSource(const ReceivedFrame& run) {
    return run.sender > 0 ? clientSource(run.sender) : kServiceSource;
}

}  // namespace

std::int64_t monotonicMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

CaptureTime captureTimeNow(std::int64_t startMonoMicros) {
    timespec wall{};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    return {static_cast<std::int64_t>(wall.tv_sec) * 1000000 + wall.tv_nsec / 1000, monotonicMicros() - startMonoMicros};
}

CaptureKeeper::CaptureKeeper(CaptureSettings settings, CaptureHeader header, CaptureFile::Say say)
    : ring_(settings.memoryBytes), header_(std::move(header)) {
    if (!settings.filePath.empty()) file_.emplace(settings.filePath, settings.fileSize, header_, std::move(say));
}

void CaptureKeeper::start(std::int64_t nowMillis) {
    if (file_) file_->open(nowMillis);
}

std::string CaptureKeeper::reopenFile(std::int64_t nowMillis) {
    if (!file_) return {};
    file_->reopen(nowMillis);
    return file_->path();
}

void CaptureKeeper::add(CaptureTime at, CaptureDirection direction, std::int64_t source, ByteRun bytes,
                        std::string_view text, std::int64_t nowMillis) {
    ring_.add(at.wallMicros, at.monoMicros, direction, source, bytes, text);
    if (!file_ || !file_->writing()) return;
    CaptureRecord r;
    r.wallMicros = at.wallMicros;
    r.monoMicros = at.monoMicros;
    r.direction = direction;
    r.source = ring_.sourceName(source);
    if (direction == CaptureDirection::Event) {
        r.text = std::string(text);
    } else {
        r.bytes.assign(bytes.begin(), bytes.end());
        r.text = captureFrameText(bytes);
    }
    file_->add(r, nowMillis);
}

void CaptureKeeper::clientJoined(std::int64_t clientId, const std::string& name, CaptureTime at, std::int64_t nowMillis) {
    ring_.nameClient(clientId, name);
    add(at, CaptureDirection::Event, clientSource(clientId), {}, "client connected", nowMillis);
}

void CaptureKeeper::clientLeft(std::int64_t clientId, CaptureTime at, std::int64_t nowMillis) {
    add(at, CaptureDirection::Event, clientSource(clientId), {}, "client gone", nowMillis);
}

void CaptureKeeper::framesPassed(const FrameQueue& clientRuns, const FrameQueue& busFrames, CaptureTime at,
                                 std::int64_t nowMillis) {
    // As the monitor lists them: the bus's frames of the pass first.
    for (const ReceivedFrame& f : busFrames) add(at, CaptureDirection::FromBus, kBusSource, f.bytes, {}, nowMillis);
    for (const ReceivedFrame& r : clientRuns) add(at, CaptureDirection::ToBus, runSource(r), r.bytes, {}, nowMillis);
}

void CaptureKeeper::busNoise(const std::vector<Bytes>& runs, CaptureTime at, std::int64_t nowMillis) {
    for (const Bytes& run : runs) add(at, CaptureDirection::FromBus, kBusSource, run, {}, nowMillis);
}

void CaptureKeeper::event(const std::string& text, CaptureTime at, std::int64_t nowMillis, std::int64_t source) {
    add(at, CaptureDirection::Event, source, {}, text, nowMillis);
}

Deadline CaptureKeeper::deadline() const { return file_ ? file_->deadline() : std::nullopt; }

void CaptureKeeper::tick(std::int64_t nowMillis) {
    if (file_) file_->flushIfDue(nowMillis);
}

void CaptureKeeper::stop(CaptureTime at, std::int64_t nowMillis) {
    event("stopped", at, nowMillis);
    if (file_) file_->flush(nowMillis);
}

std::unique_ptr<CaptureText> CaptureKeeper::download(std::int64_t sinceWallMicros) const {
    return std::make_unique<CaptureText>(ring_, header_, sinceWallMicros);
}

std::string CaptureKeeper::fileName(std::int64_t wallSeconds) const {
    return formatDate("tessel-capture-%yyyy%mm%dd-%hh%ii%ss.txt", dateFromTime(static_cast<std::time_t>(wallSeconds)));
}

}  // namespace tessel
