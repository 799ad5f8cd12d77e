#include "crawl/RegionDirectory.h"

#include "fetch/ClientProfiles.h"
#include "json/JsonValue.h"
#include "util/uLib.h"

namespace korvalot::crawl {

std::vector<std::string> RegionItemsFromDirectory(const std::string& body) {
    const json::JsonValue document = json::Parse(util::StreamToString(body));
    const json::JsonValue regions = document.IsNothing() ? json::JsonValue() : document.AsArray();
    std::vector<std::string> items;
    if (regions.IsNothing())
        return items;
    const std::size_t length = regions.Length();
    for (std::size_t i = 0; i < length; ++i) {
        const json::JsonValue region = regions.Element(i);
        items.push_back(region.MemberText("description") + " (" + region.MemberText("code") + ")");
    }
    return items;
}

std::vector<std::string> LoadRegionDirectory(const std::string& registerBaseUrl) {
    // Set up for this one request and released at once, as the window does.
    fetch::DirectoryClient client;
    const std::string body = client.Get(registerBaseUrl + "/backend/reference-book/regions",
                                        registerBaseUrl + "/biddings");
    return RegionItemsFromDirectory(body);
}

}  // namespace korvalot::crawl
