#pragma once

#include <stdexcept>

namespace korvalot::app {

// A failure of the window's own file work (settings, selections, run log); what() names the
// file and the system's reason.
class AppError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace korvalot::app
