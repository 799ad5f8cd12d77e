#pragma once

#include <string>

#include <QString>

#include "crawl/uScraper.h"

namespace korvalot::app {

class TMainForm;

// Makes Start of the window create, hand over and start a TScraper. environment's empty members
// take the product's choices; tests point it at their own directories.
void ConnectCrawl(TMainForm& form, crawl::ScraperEnvironment environment = {});

}  // namespace korvalot::app
