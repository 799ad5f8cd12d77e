#include "crawl/RegisterAddresses.h"

#include <cstdlib>

#ifndef KORVALOT_REGISTER_BASE_URL
#define KORVALOT_REGISTER_BASE_URL "https://register.example"
#endif

namespace korvalot::crawl {

std::string ConfiguredRegisterBaseUrl() {
    const char* value = std::getenv("KORVALOT_REGISTER_URL");
    std::string url = value != nullptr && *value != '\0' ? value : KORVALOT_REGISTER_BASE_URL;
    while (url.size() > 8 && url.back() == '/')
        url.pop_back();
    return url;
}

std::string RegisterAddresses::CardLink(std::string_view guid) const {
    std::string link = CardLinkPrefix();
    link += guid;
    return link;
}

fetch::TradeAddresses RegisterAddresses::Trade(std::string_view guid) const {
    fetch::TradeAddresses addresses;
    addresses.card = base_ + "/backend/biddings/";
    addresses.card += guid;
    addresses.lotsPage = [lots = addresses.card + "/lots?offset="](std::size_t offset) {
        return lots + std::to_string(offset) + "&limit=50";
    };
    addresses.additional = addresses.card + "/additional";
    return addresses;
}

}  // namespace korvalot::crawl
