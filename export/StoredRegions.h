#pragma once

#include <string>
#include <vector>

#include "store/Database.h"

namespace korvalot::exporting {

// The codes, as given, of those regions the store holds no trade of: a filter that names one
// takes nothing from it, which the export says rather than leave an empty file unexplained.
std::vector<std::string> RegionsNotStored(store::Database& db,
                                          const std::vector<std::string>& codes);

}  // namespace korvalot::exporting
