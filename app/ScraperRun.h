#pragma once

#include <chrono>
#include <string>

#include <QString>

#include "crawl/uScraper.h"

namespace korvalot::app {

class TMainForm;

// Makes Start of the window create, hand over and start a TScraper. environment's empty members
// take the product's choices; tests point it at their own directories.
void ConnectCrawl(TMainForm& form, crawl::ScraperEnvironment environment = {});

// For the program's end, after the window is gone (its hand-off detached): every run still
// going is cancelled, its workers' requests cut off, and its threads are joined. False when the
// time ran out first; the runs are then still kept.
bool EndRuns(std::chrono::milliseconds timeout);

}  // namespace korvalot::app
