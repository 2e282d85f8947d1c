// The module table kept across restarts: one plain text file, written whole to a temporary file,
// synced and renamed over the old one, so that a crash leaves either the old table or the new.
//
//   tessel-serverd modules 1
//   module ADDRESS TYPE SERIAL MAP BUILD SUBS FIRST LAST FRAMES RESTARTS LASTRESTART
//   name ADDRESS BYTES
//   channel ADDRESS CHANNEL PARTS BYTES
// in hexadecimal but for the times and counts (decimal), "-" where not known; BYTES two digits
// a byte, "--" for one not read yet.
#pragma once
#include <string>

#include "modules/module_table.h"

namespace tessel {

constexpr const char* kModuleStateFile = "modules.state";

// False, with `error` saying why (for a warning), when the file could not be written.
bool writeModuleState(const ModuleTable& table, const std::string& path, std::string& error);

enum class StateRead { Read, Missing, Damaged };
// Reads the table of `path` into `table` (its modules as known but not heard since the start).
// Damaged: `error` says where, and `table` is left as it was.
StateRead readModuleState(const std::string& path, ModuleTable& table, std::string& error);

// Moves a damaged file out of the way, to PATH.damaged; false when even that failed.
bool setAsideStateFile(const std::string& path, std::string& movedTo);

}  // namespace tessel
