#pragma once

#include <stdexcept>

namespace korvalot::notify {

// Channel settings that cannot be used: a settings or secrets file that cannot be read, a
// parameter that is unknown or wrong, a secrets file others may read. One line, in Russian,
// never holding a password or a token.
class NotifyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace korvalot::notify
