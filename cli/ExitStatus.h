#pragma once

// The exit statuses korvalot-harvest and korvalot-export share. A harvest ended by SIGINT or
// SIGTERM exits with 128 + the signal, as shells do.
namespace korvalot::cli {

inline constexpr int kExitDone = 0;     // all of it was done
inline constexpr int kExitPartly = 1;   // what was asked for was done in part or not at all
inline constexpr int kExitUsage = 2;    // bad arguments or an output place that cannot be used;
                                        // no file was changed
inline constexpr int kExitNoStart = 3;  // the work could not begin: the store was refused (in
                                        // every way: its place, its file, its lock, its
                                        // version), the register did not give its region
                                        // directory, another harvest holds the folder

}  // namespace korvalot::cli
