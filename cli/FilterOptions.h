#pragma once

#include <getopt.h>

#include <chrono>
#include <string>
#include <vector>

#include "store/TradeFilter.h"

// The options that choose stored lots, read alike by korvalot-export and korvalot-watch: their
// entries in a program's table of long options, each option as it comes into the filter, and the
// checks once all are read. Each raises UsageError naming the option.
namespace korvalot::cli {

// The filter options only some programs take.
struct FilterOptionSet {
    bool openDays = false;    // --open-days
    bool storeDates = false;  // --changed-since, --new-since
};

// The short ones, for the program's getopt string.
inline constexpr char kFilterShortOptions[] = "r:T:f:t:";

// The long ones' entries in the order --help lists them, to be put into the program's table.
// Their codes are the short letters and numbers from 2000 up; the program's own use others.
std::vector<::option> FilterLongOptions(FilterOptionSet set);

// Which members of the filter the options gave: a watch they change keeps all the others.
struct FilterGiven {
    bool regions = false, types = false, from = false, to = false, announcedFrom = false,
         announcedTo = false, priceFrom = false, priceTo = false, currentFrom = false,
         currentTo = false, open = false, openDays = false, words = false;
};

class FilterOptions {
public:
    // `today` resolves "today" and "yesterday".
    explicit FilterOptions(std::chrono::year_month_day today) : today_(today) {}

    // Takes one option into the filter; false, taking nothing, for a code no filter option has.
    bool Take(int code, const std::string& value);

    // The checks of the options together (both ends of a range, --open-days with --open, "all"
    // alone), then the regions and trade types into the filter: every region unless some are
    // named, every type unless some are.
    void Finish();

    const store::TradeFilter& Filter() const { return filter_; }
    const FilterGiven& Given() const { return given_; }

private:
    std::chrono::year_month_day today_;
    store::TradeFilter filter_;
    FilterGiven given_;
    bool allRegions_ = false;
    std::vector<std::string> regions_;
    std::vector<int> types_;
};

// A price in roubles: "1500000" or "1500000,50".
double ParsePrice(const std::string& option, const std::string& text);

}  // namespace korvalot::cli
