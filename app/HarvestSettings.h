#pragma once

#include <filesystem>

#include <QString>

#include "crawl/uScraper.h"

namespace korvalot::app {

inline constexpr int kMaxOutageMinutes = 525600;  // a year

// Section "Harvest" of settings.ini, read at every Start so that an edit takes effect with the
// next run: "Incremental" (harvested trades go to skip.txt), "Workbook" (data<ticks>.xlsx
// beside the results file, opened instead of it) and "Store" (every harvested trade also goes
// into the trade store korvalot.sqlite beside settings.ini, opened here, before the run is made).
// "1", "true", "yes" and "on" in any letter case switch a key on; anything else, or no key,
// leaves the environment's choice. "OutageLimitMinutes": how long a run waits for a register
// that does not answer before it ends (whole minutes, 0 to kMaxOutageMinutes; two hours without
// it). Raises AppError with the store's one line when the store cannot be used (not a database,
// held by another process, written by a later version, not writable): no run may begin, lest
// skip.txt name trades the store never got.
// korvalot.sqlite beside settings.ini: the trade store "Store" has the run write.
std::filesystem::path HarvestStorePath(const QString& settingsIniPath);

void ApplyHarvestSettings(const QString& settingsIniPath, crawl::ScraperEnvironment& environment);

}  // namespace korvalot::app
