#pragma once

#include <string>
#include <string_view>

#include "fetch/TScrapingThread2.h"

// The one place that knows how the register's addresses are made from its base address: the
// search, a trade's card, lots and additional data, the card's link in the results, and the
// page every request names as its referer. fetch/ is handed ready addresses.
namespace korvalot::crawl {

class RegisterAddresses {
public:
    explicit RegisterAddresses(std::string baseUrl) : base_(std::move(baseUrl)) {}

    // The register's trade list page: the referer of every request.
    std::string Referer() const { return base_ + "/biddings"; }
    // The link of a trade's card as the results name it: CardLinkPrefix() + guid.
    std::string CardLinkPrefix() const { return base_ + "/biddings/"; }
    std::string CardLink(std::string_view guid) const;
    // The card, the lots page by page and the additional data of a trade.
    fetch::TradeAddresses Trade(std::string_view guid) const;
    // The region directory.
    std::string Regions() const { return base_ + "/backend/reference-book/regions"; }

private:
    std::string base_;
};

// The register's base address for both programs: KORVALOT_REGISTER_URL when it is set, else the
// one the build was made for; without a trailing "/", which would double the slash in every
// address made from it.
std::string ConfiguredRegisterBaseUrl();

}  // namespace korvalot::crawl
