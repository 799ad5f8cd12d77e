#include "crawl/RegionDirectory.h"

#include "crawl/RegisterAddresses.h"
#include "fetch/ClientProfiles.h"
#include "json/JsonValue.h"
#include "util/uLib.h"

namespace korvalot::crawl {

void ForEachRegionItem(const std::string& body, const std::function<void(std::string)>& add) {
    const json::JsonValue document = json::Parse(util::StreamToString(body));
    const json::JsonValue regions = document.IsNothing() ? json::JsonValue() : document.AsArray();
    if (regions.IsNothing())
        return;
    const std::size_t length = regions.Length();
    for (std::size_t i = 0; i < length; ++i) {
        const json::JsonValue region = regions.Element(i);
        add(region.MemberText("description") + " (" + region.MemberText("code") + ")");
    }
}

std::vector<std::string> RegionItemsFromDirectory(const std::string& body) {
    std::vector<std::string> items;
    ForEachRegionItem(body, [&items](std::string item) { items.push_back(std::move(item)); });
    return items;
}

std::vector<std::string> LoadRegionDirectory(const std::string& registerBaseUrl) {
    return RegionDirectoryLoad(registerBaseUrl).Run();
}

RegionDirectoryLoad::RegionDirectoryLoad(std::string registerBaseUrl)
    : registerBaseUrl_(std::move(registerBaseUrl)),
      client_(std::make_unique<fetch::DirectoryClient>()) {}

RegionDirectoryLoad::~RegionDirectoryLoad() = default;

std::vector<std::string> RegionDirectoryLoad::Run() {
    const RegisterAddresses addresses(registerBaseUrl_);
    const std::string body = client_->Get(addresses.Regions(), addresses.Referer());
    return RegionItemsFromDirectory(body);
}

void RegionDirectoryLoad::Cancel() noexcept {
    client_->Cancel();
}

}  // namespace korvalot::crawl
