// The module table as JSON for the page and /modules.json: one object per module, the same
// object in both.
#pragma once
#include <cstdint>
#include <string>

#include "modules/module_table.h"

namespace tessel {

// {"address":16,"subAddresses":[81],"type":"VMB4RYNO","typeCode":17,"name":"Kitchen",...}
std::string moduleJson(const ModuleRecord& record);
// {"now":T,"silentAfter":S,"modules":[...]}: every module in address order.
std::string modulesDocument(const ModuleTable& table, std::int64_t nowSeconds, std::int64_t silentAfter);

}  // namespace tessel
