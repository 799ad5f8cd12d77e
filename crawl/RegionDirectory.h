#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fetch/ClientProfiles.h"

// The register's directory of regions, as the window's region list shows it, for programs
// without the window.
namespace korvalot::crawl {

// One item per region of the answer, in its order: the "description", " (", the "code", ")".
// An answer that is not a JSON array gives no items. Each item is handed over as soon as it is
// read, so that a region that cannot be read leaves the ones before it in place.
void ForEachRegionItem(const std::string& body, const std::function<void(std::string)>& add);
std::vector<std::string> RegionItemsFromDirectory(const std::string& body);

// Asks the register through the directory client profile (client certificate "01cert.pem" and
// "01key.pem" of the working directory when the register asks for one). Raises
// fetch::ClientError as the window reports it.
std::vector<std::string> LoadRegionDirectory(const std::string& registerBaseUrl);

// The same load, which another thread may cut short: a program that is asked to stop does not
// wait out the register's silence.
class RegionDirectoryLoad {
public:
    explicit RegionDirectoryLoad(std::string registerBaseUrl);
    ~RegionDirectoryLoad();
    RegionDirectoryLoad(const RegionDirectoryLoad&) = delete;
    RegionDirectoryLoad& operator=(const RegionDirectoryLoad&) = delete;

    // Once, on one thread. Raises fetch::ClientError, also when cancelled.
    std::vector<std::string> Run();
    // From any thread while the object lives: Run ends at once (a host name's lookup excepted,
    // which ends when the system's lookup returns), or fails at its start when not yet begun.
    void Cancel() noexcept;

private:
    std::string registerBaseUrl_;
    std::unique_ptr<fetch::DirectoryClient> client_;
};

}  // namespace korvalot::crawl
