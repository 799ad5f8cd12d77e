#include "cli/OptionReader.h"

#include "cli/UsageError.h"

namespace korvalot::cli {

OptionReader::OptionReader(const char* program, const std::vector<std::string>& args,
                           const char* shortOptions, const ::option* longOptions)
    : shortOptions_(shortOptions), longOptions_(longOptions) {
    storage_.reserve(args.size() + 1);
    storage_.emplace_back(program);
    storage_.insert(storage_.end(), args.begin(), args.end());
    for (auto& arg : storage_)
        argv_.push_back(arg.data());
    argv_.push_back(nullptr);
    // getopt keeps its place in globals: start over and keep its own messages to ourselves.
    optind = 0;
    opterr = 0;
    optopt = 0;
}

std::optional<OptionReader::Option> OptionReader::Next() {
    const int argc = static_cast<int>(storage_.size());
    const int c = getopt_long(argc, argv_.data(), shortOptions_, longOptions_, nullptr);
    if (c == -1) {
        if (optind < argc)
            throw UsageError(std::string("лишний аргумент ") + argv_[optind]);
        return std::nullopt;
    }
    if (c == ':' || c == '?') {
        std::string name = optind >= 1 && optind <= argc ? argv_[optind - 1] : "";
        if (optopt > 0 && optopt < 256 && !name.starts_with("--"))
            name = std::string("-") + static_cast<char>(optopt);
        throw UsageError(c == ':' ? "у параметра " + name + " нет значения"
                                  : "неизвестный параметр " + name);
    }
    return Option{c, optarg != nullptr ? optarg : "", optarg != nullptr};
}

std::optional<std::string> OptionReader::TakeFollowingWord() {
    const int argc = static_cast<int>(storage_.size());
    if (optind < argc && argv_[optind][0] != '-')
        return std::string(argv_[optind++]);
    return std::nullopt;
}

}  // namespace korvalot::cli
