#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The places the programs' arguments name, checked before anything is written there.
namespace korvalot::cli {

// The folder of a file named on the command line: "." for a bare name.
std::filesystem::path FolderOf(const std::filesystem::path& file);

// The value of an option that names a file; raises UsageError "OPTION: пустой путь" for none.
std::filesystem::path PathValue(const char* option, const std::string& value);

// Why no file can be created in the folder; nothing when one can. The check creates a file there
// and removes it at once: permission bits alone say nothing for root, a read-only mount or an
// access list.
std::optional<std::string> WhyNotWritable(const std::filesystem::path& dir);

// Makes the folder and the folders above it that are missing, as mkdir -p does. Returns the
// folders it made, outermost first. Raises PlaceError ("папку ... не создать: reason"), leaving
// none of them behind.
std::vector<std::filesystem::path> MakeFolders(const std::filesystem::path& dir);

// Removes folders MakeFolders made, innermost first; one no longer empty stays.
void RemoveFolders(const std::vector<std::filesystem::path>& made);

}  // namespace korvalot::cli
