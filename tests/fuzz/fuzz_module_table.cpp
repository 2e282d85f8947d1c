// Any frames, from either side, and any state file: the table never holds a module outside
// $01-$FE or under another address, every text it makes stays within its runs, and what it
// writes to its state file reads back the same. A state file that reads at all writes back
// as it was read. The project file of any table holds one <Module> per module it counts, and
// nothing in it but what XML takes.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <span>
#include <string>

#include "modules/module_state.h"
#include "modules/project_file.h"

namespace {

constexpr std::int64_t kNow = 2'000'000'000;  // the host's clock while reading

const std::string& statePath() {
    static const std::string path = "/tmp/fuzz-module-state-" + std::to_string(::getpid());
    return path;
}

void checkTable(const tessel::ModuleTable& t) {
    for (std::size_t a = 0; a < 256; ++a) {
        const auto& slot = t.byAddress[a];
        if (!slot) continue;
        if (a == 0 || a == 0xFF || slot->address != a) std::abort();
        const tessel::ModuleTypeInfo* info = slot->type ? tessel::findModuleType(*slot->type) : nullptr;
        if (slot->nameBytes.size() != (info != nullptr ? tessel::nameLength(*info) : 0)) std::abort();
        if (tessel::moduleName(*slot).size() > slot->nameBytes.size()) std::abort();
        for (const auto& [channel, name] : slot->channels) {
            if (channel < 1 || tessel::channelNameText(name).size() > 16) std::abort();
        }
        (void)tessel::moduleDescription(*slot);
    }
    if (tessel::countModules(t).known > 254) std::abort();
    const std::string file = tessel::projectFile(t);
    std::size_t modules = 0;
    for (std::size_t at = 0; (at = file.find("<Module ", at)) != std::string::npos; ++at) ++modules;
    if (static_cast<std::int64_t>(modules) != tessel::projectCounts(t).modules) std::abort();
    for (const char c : file) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n') std::abort();
    }
}

// Written and read again: the same table, but for what only this run knows.
void roundTrip(const tessel::ModuleTable& t) {
    std::string error;
    if (!tessel::writeModuleState(t, statePath(), error)) std::abort();
    tessel::ModuleTable read;
    if (tessel::readModuleState(statePath(), read, error, kNow) != tessel::StateRead::Read) std::abort();
    for (std::size_t a = 0; a < 256; ++a) {
        if (read.byAddress[a].has_value() != t.byAddress[a].has_value()) std::abort();
        if (!read.byAddress[a]) continue;
        tessel::ModuleRecord expected = *t.byAddress[a];
        expected.heardSinceStart = false;
        expected.silent = false;
        if (!(*read.byAddress[a] == expected)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    if ((data[0] & 1) == 0) {
        // Frames: each a length byte and that many bytes (the second bit of the first byte:
        // from the bus or from a client).
        tessel::ModuleTable t;
        std::size_t at = 1;
        std::int64_t now = 1000;
        while (at < size) {
            const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
            const std::span<const std::uint8_t> frame(data + at + 1, length);
            tessel::learnFromFrame(t, frame, (data[0] & 2) == 0, now++);
            tessel::learnFromWrite(t, frame);
            at += 1 + length;
            if (data[0] & 4) tessel::markSilent(t, now, 5);
        }
        checkTable(t);
        roundTrip(t);
        return 0;
    }
    {
        std::ofstream(statePath(), std::ios::binary).write(reinterpret_cast<const char*>(data + 1),
                                                           static_cast<std::streamsize>(size - 1));
    }
    tessel::ModuleTable t;
    std::string error;
    const tessel::StateRead got = tessel::readModuleState(statePath(), t, error, kNow);
    if (got == tessel::StateRead::Read || got == tessel::StateRead::Cut) {
        checkTable(t);
        roundTrip(t);
    } else if (tessel::countModules(t).known != 0) {
        std::abort();  // a file that does not read leaves the table as it was: empty
    }
    return 0;
}
