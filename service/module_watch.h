// The service's use of the module table: it learns from every frame the pass hands on, says in
// the journal when a module is first learned, goes silent and is heard again, keeps the page's
// Modules panel current, and keeps the table in its state file across restarts.
#pragma once
#include <array>
#include <bitset>
#include <cstdint>
#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>

#include "modules/module_table.h"
#include "platform/deadline.h"
#include "platform/unique_fd.h"
#include "protocol/received_frame.h"
#include "service/journal.h"
#include "service/refusal_folds.h"
#include "web/web_monitor.h"

namespace tessel {

constexpr std::int64_t kDefaultSilentAfterSeconds = 24 * 3600;
// The state file is written at most this often (and at the stop), so a busy bus does not wear
// a small board's flash.
constexpr std::int64_t kStateWriteMillis = 60'000;
// A module's first line waits for its name (a scan reads the names after every type) and then
// until what it says settles, at most this long after its type: a module whose name nobody
// reads is said without one.
constexpr std::int64_t kLearnedLineSettleMillis = 2'000;
constexpr std::int64_t kLearnedLineLimitMillis = 60'000;
// A rename is said once the writes to a module have stopped this long: a tool writes a name four
// bytes at a time.
constexpr std::int64_t kRenameSettleMillis = 2'000;

struct ModuleWatchSettings {
    std::int64_t silentAfter = kDefaultSilentAfterSeconds;  // 0: never silent
    std::string statePath;                                   // empty: not kept
};

// "24 h", "3 h 2 min", "45 s": how long, as the journal says it.
std::string durationText(std::int64_t seconds);

class ModuleWatch {
public:
    using LineSink = std::function<void(const std::string&, JournalLevel)>;
    // Who a client is, for the lines of the renames it made ("192.168.1.20:50312").
    using SenderName = std::function<std::string(SenderId)>;
    ModuleWatch(ModuleWatchSettings settings, LineSink line, WebMonitor* web);

    // Takes the state directory for this service alone and reads the state file: its modules
    // are known, not yet heard since the start. A damaged or foreign file is set aside with a
    // warning; a directory held by another service, or something not a file in the file's place,
    // is left alone, and the table is then not kept.
    void start(std::int64_t nowSeconds);
    void framesPassed(const FrameQueue& clientRuns, const FrameQueue& busFrames, std::int64_t nowSeconds,
                      std::int64_t nowMillis);
    // The lines due, the modules gone silent, the state file when due.
    void tick(std::int64_t nowSeconds, std::int64_t nowMillis);
    // When tick has something to do; none: nothing.
    Deadline deadline(std::int64_t nowSeconds, std::int64_t nowMillis) const;
    // The same as planned at the last tick and kept since, for the wait between two frames.
    Deadline nextCheck() const {
        return nextCheckMillis_ == std::numeric_limits<std::int64_t>::max() ? std::nullopt : Deadline{nextCheckMillis_};
    }
    // The state file, written at the stop.
    void stop();
    // The state file written now (SIGHUP); its path, or empty when none is kept.
    std::string keepNow();
    void nameSenders(SenderName name) { senderName_ = std::move(name); }

    const ModuleTable& table() const { return table_; }
    std::int64_t silentAfter() const { return settings_.silentAfter; }

private:
    void showRow(std::uint8_t address);
    void writeState();
    // A module's line, in UTF-8 as the journal reads it (names are ISO-8859-15 inside).
    void say(const std::string& latin9, JournalLevel level);
    void readState(std::int64_t nowSeconds);

    ModuleWatchSettings settings_;
    LineSink line_;
    WebMonitor* web_;
    ModuleTable table_;
    std::bitset<256> said_;  // its learned line was written (or it came from the state file)
    struct Pending {
        std::int64_t firstMillis = 0;
        std::int64_t dueMillis = 0;
    };
    std::map<std::uint8_t, Pending> pending_;  // learned lines waiting for the names
    std::array<std::int64_t, 256> seenShown_{};  // the last-heard second the page has of each
    // Before this (milliseconds) tick has nothing to do: the waits between frames cost nothing.
    std::int64_t nextCheckMillis_ = 0;
    void planNextCheck(std::int64_t nowSeconds, std::int64_t nowMillis);
    bool dirty_ = false;
    std::int64_t lastWriteMillis_ = -kStateWriteMillis;  // the first change is kept at once
    bool writeWarned_ = false;
    UniqueFd stateLock_;  // the state directory is ours while it is open
    // A module restarting over and over (a failing supply) is said once a minute, counted.
    RefusalFolds restartFolds_{"restarted"};
    // Memory writes at a module's names, said once they settle: the names before the first.
    struct Rename {
        std::int64_t dueMillis = 0;
        std::string by;
        std::string oldName;
        std::map<int, std::string> oldChannels;
    };
    std::map<std::uint8_t, Rename> renames_;
    SenderName senderName_;
    // A memory write, from a client (`sender`) or seen on the bus (none); the module whose
    // name it changed, if any.
    std::optional<std::uint8_t> noteWrite(std::span<const std::uint8_t> frame, std::optional<SenderId> sender,
                                          std::int64_t nowMillis);
    void sayRenames(std::int64_t nowMillis);
};

}  // namespace tessel
