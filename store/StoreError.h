#pragma once

#include <stdexcept>
#include <string>

namespace korvalot::store {

// A failure of the trade store; what() is one line that names the file and the reason.
class StoreError : public std::runtime_error {
public:
    enum class Problem {
        NotADatabase,  // the file is something else
        Locked,        // another process holds it
        NewerSchema,   // a later version of the program wrote it
        CannotWrite,   // a full disk, a file-size limit, a read-only file
        CannotOpen,    // missing, or not readable
        Damaged,       // the database is corrupt
        Interrupted,   // the query was stopped from another thread
        Other,
    };

    StoreError(Problem problem, const std::string& message)
        : std::runtime_error(message), problem_(problem) {}

    Problem What() const noexcept { return problem_; }

private:
    Problem problem_;
};

}  // namespace korvalot::store
