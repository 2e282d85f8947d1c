#include "web/module_json.h"

#include "modules/project_file.h"
#include "web/json.h"

namespace tessel {

namespace {

std::string orNull(bool known, const std::string& json) { return known ? json : "null"; }

}  // namespace

std::string moduleJson(const ModuleRecord& r) {
    std::string subs = "[";
    for (const std::uint8_t s : r.subAddresses) {
        if (s == 0xFF) continue;
        if (subs.size() > 1) subs += ',';
        subs += std::to_string(s);
    }
    subs += "]";
    std::string channels = "[";
    for (const auto& [channel, name] : r.channels) {
        if (channels.size() > 1) channels += ',';
        channels += "{\"channel\":" + std::to_string(channel) + ",\"name\":" + jsonLatin9(channelNameText(name)) + "}";
    }
    channels += "]";
    return "{\"address\":" + std::to_string(r.address) + ",\"subAddresses\":" + subs +
           ",\"type\":" + orNull(r.type.has_value(), jsonLatin9(typeText(r))) +
           ",\"typeCode\":" + orNull(r.type.has_value(), std::to_string(r.type.value_or(0))) +
           ",\"name\":" + jsonLatin9(moduleName(r)) +
           ",\"serial\":" + orNull(r.serial.has_value(), jsonLatin9(serialText(r))) +
           ",\"memoryMap\":" + std::to_string(r.memoryMap) +
           ",\"build\":" + orNull(r.build.has_value(), jsonLatin9(buildText(r))) +
           ",\"channels\":" + channels + ",\"firstSeen\":" + std::to_string(r.firstSeen) +
           ",\"lastSeen\":" + std::to_string(r.lastSeen) + ",\"frames\":" + std::to_string(r.frames) +
           ",\"restarts\":" + std::to_string(r.restarts) +
           ",\"lastRestart\":" + orNull(r.restarts > 0, std::to_string(r.lastRestart)) +
           ",\"heardSinceStart\":" + (r.heardSinceStart ? "true" : "false") +
           ",\"silent\":" + (r.silent ? "true" : "false") +
           ",\"inProject\":" + (inProjectFile(r) ? "true" : "false") +
           ",\"namesMissing\":" + (namesMissing(r) ? "true" : "false") + "}";
}

std::string modulesDocument(const ModuleTable& t, std::int64_t now, std::int64_t silentAfter) {
    std::string out = "{\"now\":" + std::to_string(now) + ",\"silentAfter\":" + std::to_string(silentAfter) +
                      ",\"modules\":[";
    bool first = true;
    for (const auto& slot : t.byAddress) {
        if (!slot) continue;
        if (!first) out += ',';
        out += moduleJson(*slot);
        first = false;
    }
    return out + "]}\n";
}

}  // namespace tessel
