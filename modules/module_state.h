// The module table kept across restarts: one plain text file, written whole to a temporary file,
// synced and renamed over the old one, so that a crash leaves either the old table or the new.
//
//   tessel-serverd modules 2
//   module ADDRESS TYPE SERIAL MAP BUILD SUBS FIRST LAST FRAMES RESTARTS LASTRESTART
//   name ADDRESS BYTES
//   channel ADDRESS CHANNEL PARTS BYTES
//   end MODULES
// in hexadecimal but for the times and counts (decimal), "-" where not known; BYTES two digits
// a byte, "--" for one not read yet. The last line counts the modules, so a file cut short at
// a line's end is told from a whole one (files of format 1, without it, are still read).
// Nothing is opened through a symbolic link.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "modules/module_table.h"
#include "platform/unique_fd.h"

namespace tessel {

constexpr const char* kModuleStateFile = "modules.state";
// Who holds the state directory: one service at a time, its pid inside.
constexpr const char* kStateLockFile = "tessel-serverd.lock";
// A table of 254 modules with every name takes about 100 KiB: a larger file is no table of ours.
constexpr std::int64_t kModuleStateLimit = 8 * 1024 * 1024;
// A time this far past the host's clock was not written by a service on this host.
constexpr std::int64_t kStateFutureSlackSeconds = 86'400;

// False, with `error` saying why (for a warning), when the file could not be written.
bool writeModuleState(const ModuleTable& table, const std::string& path, std::string& error);

enum class StateRead {
    Read,
    Missing,
    Damaged,   // `error` says where; `table` is left as it was
    Cut,       // whole lines, but not its last: `table` has what was read, `error` says how much
    NotAFile,  // a directory, a link or a device in its place: `error` says which; left alone
};
// Reads the table of `path` into `table` (its modules as known but not heard since the start).
// `nowSeconds`: times past it by more than a day make the file damaged.
StateRead readModuleState(const std::string& path, ModuleTable& table, std::string& error, std::int64_t nowSeconds);

// The state directory for this service alone: its lock file, held while `lock` is open.
// Held: another service has it, and `why` says which ("pid 1234"). Unavailable: the lock file
// cannot be made (a directory not there yet, or read-only), and `why` says so; then no other
// service can write there either.
enum class StateLock { Ours, Held, Unavailable };
StateLock lockStateDirectory(const std::string& directory, UniqueFd& lock, std::string& why);
// The directory of a path ("." for a bare name).
std::string directoryOf(const std::string& path);

// Moves a damaged file out of the way, to PATH.damaged; false when even that failed.
bool setAsideStateFile(const std::string& path, std::string& movedTo);

}  // namespace tessel
