#include "export/StoredRegions.h"

#include "crawl/SearchQueries.h"

namespace korvalot::exporting {

std::vector<std::string> RegionsNotStored(store::Database& db,
                                          const std::vector<std::string>& codes) {
    store::Statement query(db, "SELECT 1 FROM trades WHERE region_code = ? LIMIT 1");
    std::vector<std::string> missing;
    for (const std::string& code : codes) {
        query.Bind(1, crawl::NormalRegionCode(code));
        if (!query.Step())
            missing.push_back(code);
        query.Reset();
    }
    return missing;
}

}  // namespace korvalot::exporting
