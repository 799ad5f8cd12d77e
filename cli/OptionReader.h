#pragma once

#include <getopt.h>

#include <optional>
#include <string>
#include <vector>

namespace korvalot::cli {

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

}  // namespace korvalot::cli
