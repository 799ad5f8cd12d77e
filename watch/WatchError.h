#pragma once

#include <stdexcept>

namespace korvalot::watch {

// A failure of the watches: a name that is taken or unknown, a stored filter that cannot be read,
// a check that another process is running; what() is one line. The store's own failures stay
// store::StoreError.
class WatchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace korvalot::watch
