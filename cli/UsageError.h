#pragma once

#include <stdexcept>

namespace korvalot::cli {

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

}  // namespace korvalot::cli
