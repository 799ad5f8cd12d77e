#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// Files a run creates and must never replace: a results file, a workbook or a log whose name is
// already taken (a repeated tick count after a reboot, two runs in one second) gets the next
// free name instead, "data5.csv" becoming "data5-2.csv", then "data5-3.csv".
namespace korvalot::util {

// The name with "-n" put before its extension: ("data5.csv", 2) gives "data5-2.csv". n below 2
// gives the name unchanged.
std::filesystem::path NumberedName(const std::filesystem::path& path, int n);

// The first of path, NumberedName(path, 2), NumberedName(path, 3), ... that no file takes.
std::filesystem::path FreeName(const std::filesystem::path& path);

// One form of a file name around a stem: prefix + stem + suffix, as "log-" and ".txt".
using StemForm = std::pair<std::string, std::string>;

// The first of stem, stem + "-2", stem + "-3", ... for which no file of any of the forms exists
// in dir, so that the files of one run share one name whichever of them clashed.
std::string FreeStem(const std::filesystem::path& dir, const std::string& stem,
                     const std::vector<StemForm>& forms);

// Creates a new file for writing, exclusively: at path, or when that name is taken at the
// first free numbered name. On success path holds the name created and the open descriptor is
// returned (close-on-exec); on failure -1 with errno set.
int CreateNewFile(std::filesystem::path& path);

// Creates an empty file as CreateNewFile does and closes it: the name is the caller's, who may
// then replace the file with its content. Returns the name created; raises PlatformError naming
// the file and the system's reason.
std::filesystem::path ReserveNewFile(const std::filesystem::path& path);

}  // namespace korvalot::util
