#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "tools/register-sim/SimRandom.h"

// The texts of the generated register: regions, courts, people, companies and lot descriptions.
namespace korvalot::tools {

struct SimRegionInfo {
    std::string_view code;
    std::string_view description;
    int weight;  // relative share of the trades, in tenths of a percent
};

// The federal subjects in the register's order and spelling.
std::span<const SimRegionInfo> RegionTable();

// The arbitration court that hears the region's bankruptcy cases.
std::string CourtNameFor(std::string_view code, std::string_view description);

struct SimParty {
    std::string name;
    std::string inn;
    bool person = false;
};

// A taxpayer number whose first two digits are the region's and whose check digits are valid:
// twelve digits for a person, ten for a company.
std::string MakeInn(SimRng& rng, std::string_view regionCode, bool person);
bool InnIsValid(std::string_view inn);

SimParty MakePerson(SimRng& rng, std::string_view regionCode);
SimParty MakeCompany(SimRng& rng, std::string_view regionCode);
// A debtor: mostly companies, some persons and individual entrepreneurs.
SimParty MakeDebtor(SimRng& rng, std::string_view regionCode);

struct SimLotTexts {
    std::string description;
    // The "classifiers" member's JSON value: an array of strings, of objects, or empty; the
    // empty text when the lot has no such member.
    std::string classifiersJson;
};

// A lot description of one of the usual kinds with classifiers to match. With a length, the
// description is exactly that many characters long (a list of claims long enough to fill it).
SimLotTexts MakeLotTexts(SimRng& rng, std::string_view regionCode,
                         std::string_view regionDescription, std::size_t length = 0);

std::size_t Utf8Length(std::string_view text);

}  // namespace korvalot::tools
