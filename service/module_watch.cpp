#include "service/module_watch.h"

#include <algorithm>
#include <limits>

#include "modules/module_state.h"
#include "platform/latin9.h"
#include "platform/saturating.h"
#include "protocol/frame.h"
#include "web/module_json.h"

namespace tessel {

std::string durationText(std::int64_t s) {
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return std::to_string(s / 60) + " min";
    if (s < 86400 * 2) {
        const std::int64_t minutes = (s % 3600) / 60;
        std::string text = std::to_string(s / 3600) + " h";
        if (minutes != 0) text.append(" ").append(std::to_string(minutes)).append(" min");
        return text;
    }
    return std::to_string(s / 86400) + " days";
}

ModuleWatch::ModuleWatch(ModuleWatchSettings settings, LineSink line, WebMonitor* web)
    : settings_(std::move(settings)), line_(std::move(line)), web_(web) {}

void ModuleWatch::readState(std::int64_t now) {
    const std::string& path = settings_.statePath;
    std::string error;
    switch (readModuleState(path, table_, error, now)) {
        case StateRead::Read: break;
        case StateRead::Missing: break;
        case StateRead::Cut:
            line_("the module table in " + path + " was cut short, without its last line: " + error +
                      " are kept, any after them are lost",
                  JournalLevel::Warning);
            dirty_ = true;  // written whole again at once
            break;
        case StateRead::NotAFile:
            line_("the module table's place " + path + " holds no file (" + error +
                      "): left as it is, and the module table is not kept",
                  JournalLevel::Warning);
            settings_.statePath.clear();
            break;
        case StateRead::Damaged: {
            std::string movedTo;
            const bool moved = setAsideStateFile(path, movedTo);
            line_("the module table in " + path + " does not read (" + error + "): " +
                      (moved ? "set aside as " + movedTo : "left as it is") + ", starting with none",
                  JournalLevel::Warning);
            table_ = ModuleTable{};
            break;
        }
    }
}

void ModuleWatch::start(std::int64_t now) {
    if (!settings_.statePath.empty()) {
        // Two services on one directory would overwrite each other's table without a word.
        const std::string directory = directoryOf(settings_.statePath);
        std::string holder;
        if (lockStateDirectory(directory, stateLock_, holder) == StateLock::Held) {
            line_("the state directory " + directory + " is not this service's: " + holder +
                      "; running without a state file",
                  JournalLevel::Warning);
            settings_.statePath.clear();
        } else {
            // A directory that cannot hold the lock cannot hold the table either: its writes
            // say so, once, and are tried again.
            readState(now);
        }
    }
    // What was known before is shown, silent where it had been quiet too long already.
    markSilent(table_, now, settings_.silentAfter);
    for (const auto& slot : table_.byAddress) {
        if (!slot) continue;
        said_.set(slot->address, slot->type.has_value());
        showRow(slot->address);
    }
}

void ModuleWatch::showRow(std::uint8_t address) {
    const auto& slot = table_.byAddress[address];
    if (!slot) return;
    seenShown_[address] = slot->lastSeen;
    if (web_ == nullptr) return;
    web_->setModuleRow(address, moduleJson(*slot));
    web_->setModuleSeen(address, slot->lastSeen);
    // Heard at a sub-address before the module said it has one: that row was this module.
    for (const std::uint8_t sub : slot->subAddresses) {
        if (sub != 0xFF && !table_.byAddress[sub]) web_->removeModuleRow(sub);
    }
}

std::optional<std::uint8_t> ModuleWatch::noteWrite(std::span<const std::uint8_t> frame, std::optional<SenderId> sender,
                                                   std::int64_t nowMillis) {
    const auto target = memoryWriteTarget(frame);
    if (!target || !table_.byAddress[*target]) return std::nullopt;
    auto [it, added] = renames_.try_emplace(*target);
    if (added) {
        const ModuleRecord& r = *table_.byAddress[*target];
        it->second.oldName = moduleName(r);
        for (const auto& [channel, name] : r.channels) it->second.oldChannels[channel] = channelNameText(name);
    }
    it->second.dueMillis = nowMillis + kRenameSettleMillis;
    nextCheckMillis_ = std::min(nextCheckMillis_, it->second.dueMillis);
    const bool written = learnFromWrite(table_, frame).written;
    if (written || it->second.by.empty()) {  // who changed it last
        it->second.by = !sender ? std::string("the bus")
                        : senderName_ ? senderName_(*sender)
                                      : "client " + std::to_string(*sender);
    }
    dirty_ = dirty_ || written;
    return written ? target : std::nullopt;
}

void ModuleWatch::sayRenames(std::int64_t nowMillis) {
    for (auto it = renames_.begin(); it != renames_.end();) {
        if (it->second.dueMillis > nowMillis) {
            ++it;
            continue;
        }
        const Rename& rename = it->second;
        if (const auto& slot = table_.byAddress[it->first]) {
            const std::string module = "module " + addressText(slot->address);
            if (const std::string name = moduleName(*slot); name != rename.oldName) {
                say(module + " renamed " + quotedName(name) + " (was " + quotedName(rename.oldName) + ") by " + rename.by,
                    JournalLevel::Info);
            }
            for (const auto& [channel, bytes] : slot->channels) {
                const auto old = rename.oldChannels.find(channel);
                const std::string was = old != rename.oldChannels.end() ? old->second : std::string();
                if (const std::string name = channelNameText(bytes); name != was) {
                    say(module + " channel " + std::to_string(channel) + " renamed " + quotedName(name) + " (was " +
                            quotedName(was) + ") by " + rename.by,
                        JournalLevel::Info);
                }
            }
        }
        it = renames_.erase(it);
    }
}

void ModuleWatch::framesPassed(const FrameQueue& clientRuns, const FrameQueue& busFrames, std::int64_t now,
                               std::int64_t nowMillis) {
    std::set<std::uint8_t> shown;
    std::set<std::uint8_t> seen;
    // Other requests teach nothing of a module; a write at its names renames it.
    for (const ReceivedFrame& run : clientRuns) {
        if (!soundFrame(run.wellFormed != 0, run.bytes)) continue;
        if (const auto renamed = noteWrite(run.bytes, run.sender, nowMillis)) shown.insert(*renamed);
    }
    for (const ReceivedFrame& record : busFrames) {
        if (!checksumPair(record.bytes).agrees()) continue;
        // A write by a tool elsewhere on the bus; the table learns nothing else from it.
        if (const auto renamed = noteWrite(record.bytes, std::nullopt, nowMillis)) shown.insert(*renamed);
        const ModuleNews news = learnFromFrame(table_, record.bytes, true, now);
        if (news.address == 0) continue;
        dirty_ = true;
        const ModuleRecord& r = *table_.byAddress[news.address];
        if (news.heardAgain) {
            say("module " + moduleDescription(r) + " heard again after " + durationText(news.silentFor),
                JournalLevel::Info);
        }
        // A module heard of first by its power-up is learned, not restarted.
        if (news.restarted && !news.found) {
            const std::string text = "module " + moduleDescription(r) + " restarted";
            if (restartFolds_.take(addressText(r.address), text, nowMillis)) say(text, JournalLevel::Info);
            nextCheckMillis_ = std::min(nextCheckMillis_, nowMillis + kRefusalFoldMillis);
        }
        if (news.described && r.type && !said_.test(news.address)) {
            auto [it, added] = pending_.try_emplace(news.address, Pending{nowMillis, 0});
            const std::int64_t limit = it->second.firstMillis + kLearnedLineLimitMillis;
            it->second.dueMillis = nameComplete(r) ? std::min(nowMillis + kLearnedLineSettleMillis, limit) : limit;
        }
        // A row changes for what it shows; for the time alone the page gets the time, at most
        // once a second.
        if (news.found || news.described || news.heardAgain || news.restarted) {
            shown.insert(news.address);
        } else if (seenShown_[news.address] != r.lastSeen) {
            seen.insert(news.address);
        }
        if (pending_.count(news.address) != 0) nextCheckMillis_ = std::min(nextCheckMillis_, pending_[news.address].dueMillis);
    }
    for (const std::uint8_t address : shown) showRow(address);
    for (const std::uint8_t address : seen) {
        // Shown whole already, or merged into the module it is a sub-address of.
        if (shown.count(address) != 0 || !table_.byAddress[address]) continue;
        seenShown_[address] = table_.byAddress[address]->lastSeen;
        if (web_ != nullptr) web_->setModuleSeen(address, seenShown_[address]);
    }
    if (dirty_ && !settings_.statePath.empty()) nextCheckMillis_ = std::min(nextCheckMillis_, lastWriteMillis_ + kStateWriteMillis);
}

void ModuleWatch::planNextCheck(std::int64_t now, std::int64_t nowMillis) {
    nextCheckMillis_ = deadline(now, nowMillis).value_or(std::numeric_limits<std::int64_t>::max());
}

void ModuleWatch::tick(std::int64_t now, std::int64_t nowMillis) {
    if (nowMillis < nextCheckMillis_) return;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->second.dueMillis > nowMillis) {
            ++it;
            continue;
        }
        said_.set(it->first);
        if (const auto& slot = table_.byAddress[it->first]) say("module " + moduleDescription(*slot), JournalLevel::Info);
        it = pending_.erase(it);
    }
    for (const std::string& folded : restartFolds_.due(nowMillis)) say(folded, JournalLevel::Info);
    sayRenames(nowMillis);
    for (const std::uint8_t address : markSilent(table_, now, settings_.silentAfter)) {
        dirty_ = true;
        say("module " + moduleDescription(*table_.byAddress[address]) + " silent: not heard for " +
                durationText(settings_.silentAfter),
            JournalLevel::Warning);
        showRow(address);
    }
    if (dirty_ && !settings_.statePath.empty() && nowMillis - lastWriteMillis_ >= kStateWriteMillis) {
        lastWriteMillis_ = nowMillis;
        writeState();
    }
    planNextCheck(now, nowMillis);
}

Deadline ModuleWatch::deadline(std::int64_t now, std::int64_t nowMillis) const {
    Deadline due;
    const auto sooner = [&due](std::int64_t at) { due = nearest({due, at}); };
    for (const auto& [address, p] : pending_) sooner(p.dueMillis);
    if (const auto silence = nextSilence(table_, settings_.silentAfter)) {
        // The silence is kept in wall seconds; its moment on the millisecond clock is counted
        // from this one.
        sooner(saturatingAdd(nowMillis, saturatingAdd(saturatingMul(saturatingSub(*silence, now), 1000), 1)));
    }
    due = nearest({due, restartFolds_.nextDue()});
    for (const auto& [address, rename] : renames_) sooner(rename.dueMillis);
    if (dirty_ && !settings_.statePath.empty()) sooner(lastWriteMillis_ + kStateWriteMillis);
    return due;
}

void ModuleWatch::writeState() {
    std::string error;
    if (writeModuleState(table_, settings_.statePath, error)) {
        dirty_ = false;
        writeWarned_ = false;
        return;
    }
    // Said once until a write works again: the bridge goes on without it.
    if (!writeWarned_) line_("cannot keep the module table: " + error, JournalLevel::Warning);
    writeWarned_ = true;
}

void ModuleWatch::stop() {
    if (dirty_ && !settings_.statePath.empty()) writeState();
}

std::string ModuleWatch::keepNow() {
    if (settings_.statePath.empty()) return {};
    writeState();
    return settings_.statePath;
}

void ModuleWatch::say(const std::string& latin9, JournalLevel level) { line_(latin9ToUtf8(latin9), level); }

}  // namespace tessel
