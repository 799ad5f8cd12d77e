#pragma once

#include <getopt.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// The command line of korvalot-harvest.
namespace korvalot::harvest {

// Exit statuses. A run ended by SIGINT or SIGTERM exits with 128 + the signal, as shells do.
inline constexpr int kExitComplete = 0;     // every trade the register reported was harvested
inline constexpr int kExitIncomplete = 1;   // some trades failed or could not be reached
inline constexpr int kExitUsage = 2;        // bad arguments; no file was changed
inline constexpr int kExitCannotStart = 3;  // the region directory or the run could not start

// A bad argument; what() is the one line the program prints, followed by a pointer to --help.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A place the arguments name that cannot be used (a folder nobody may write to): a bad argument
// all the same, but one the help cannot help with.
class PlaceError : public UsageError {
public:
    using UsageError::UsageError;
};

// One pass of getopt_long over a program's words. getopt moves the words that are not options
// behind the options as it goes, in its own array only, so the names its messages need are read
// there; a letter inside a cluster of short options ("-xv") is named by itself.
class OptionReader {
public:
    struct Option {
        int code;
        std::string value;  // empty when the option takes none
        bool hasValue;
    };
    OptionReader(const char* program, const std::vector<std::string>& args,
                 const char* shortOptions, const ::option* longOptions);
    // The next option; none once they are over. Raises UsageError for an unknown option, one
    // without its value, and at the end for a word that is no option's.
    std::optional<Option> Next();
    // The word after the last option when it is no option itself, taken as that option's value.
    std::optional<std::string> TakeFollowingWord();

private:
    std::vector<std::string> storage_;
    std::vector<char*> argv_;
    const char* shortOptions_;
    const ::option* longOptions_;
};

struct HarvestOptions {
    bool help = false;
    bool version = false;
    std::optional<std::chrono::year_month_day> from;
    std::optional<std::chrono::year_month_day> to;
    bool allRegions = false;
    std::vector<std::string> regionCodes;  // as given
    std::vector<int> tradeTypePositions;   // in list order; all six by default
    std::filesystem::path outputDir = ".";
    std::filesystem::path skipFile;  // empty: outputDir / "skip.txt"
    bool incremental = false;
    bool workbook = false;
    bool verbose = false;
    bool quiet = false;                 // nothing on standard error but failures
    std::filesystem::path summaryJson;  // empty: no summary file
    bool store = false;                 // --store, also implied by --refresh
    std::filesystem::path storeFile;    // empty: the store's default place
    bool refresh = false;
    int refreshDays = 60;          // a results date this many days back still leaves a trade open
    int outageLimitMinutes = 120;  // how long a register that does not answer is waited for
};

// The arguments after the program name; `today` resolves "today" and "yesterday". Raises
// UsageError. Checks nothing on disk.
HarvestOptions ParseHarvestOptions(const std::vector<std::string>& args,
                                   std::chrono::year_month_day today);

// Creates the output folder when it is missing (with the folders above it), then checks that a
// file can be created in it (tried with a file that is removed at once), and in the folders of
// the skip file (when the run will write to it), the store and the summary file likewise.
// Returns the folders it created, outermost first. Raises PlaceError.
std::vector<std::filesystem::path> CheckOutputPlaces(const HarvestOptions& options);

// The items of the region directory ("name (code)") whose codes were asked for, in the
// directory's order; all of them for "all". A code the directory does not hold raises
// UsageError. Leading zeros of a code do not count.
std::vector<std::string> SelectRegionItems(const std::vector<std::string>& directory,
                                           const HarvestOptions& options);

// The parsers of the selection options, shared with korvalot-export. Each raises UsageError
// naming the option.
// A date: "yyyy-mm-dd", "today" or "yesterday".
std::chrono::year_month_day ParseDateOption(const std::string& option, const std::string& text,
                                            std::chrono::year_month_day today);
// Region codes separated by commas, added to codes; true for "all".
bool ParseRegionCodes(const std::string& text, std::vector<std::string>& codes);
// Trade type codes separated by commas, letter case ignored: their positions in the list.
std::vector<int> ParseTradeTypes(const std::string& option, const std::string& text);

std::string HelpText();
std::string VersionText();

}  // namespace korvalot::harvest
