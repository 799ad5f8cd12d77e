// Another process that holds a store: it opens the file, takes its write lock, says "locked" on
// standard output and keeps the lock until its standard input ends.
//
//   korvalot_store_lock_holder FILE
#include <unistd.h>

#include <cstdio>

#include "store/Database.h"

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    try {
        korvalot::store::Database db(argv[1], korvalot::store::Database::Mode::ReadWrite);
        // A writer in the middle of a transaction is waited for.
        db.SetBusyTimeout(std::chrono::seconds(30));
        db.Execute("BEGIN IMMEDIATE");
        std::puts("locked");
        std::fflush(stdout);
        char byte;
        while (::read(STDIN_FILENO, &byte, 1) > 0) {
        }
        db.Execute("ROLLBACK");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
