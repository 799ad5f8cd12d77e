#pragma once

#include <functional>
#include <string>
#include <vector>

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

}  // namespace korvalot::crawl
