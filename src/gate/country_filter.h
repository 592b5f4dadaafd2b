#pragma once

#include <cstddef>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "gate/country_table.h"
#include "net/ip_address.h"

namespace vel::gate {

enum class GeoVerdict {
    Allowed = 0,            // the filter is off, or the address's country is allowed
    LocalAddress = 1,       // a private or local address, exempt from the filter
    CountryNotAllowed = 2,  // the address belongs to a country outside the list
    CountryUnknown = 3,     // the text is no address, or the address is in no range
    TableMissing = 4,       // a country list is set but no table is loaded
};

struct GeoCheckResult {
    GeoVerdict verdict = GeoVerdict::Allowed;
    std::string country;  // empty when no range was found
};

// Splits text at whitespace, "," and ";" into two-letter codes, upper-cased into out.
[[nodiscard]] bool parseCountryList(std::string_view text, std::set<std::string>& out,
                                    std::string& error);

// "RU (Russia)" for a code with a known name, otherwise the code alone.
std::string countryDisplayName(std::string_view code);

// Decides whether a client address may use the gate, by the country its address is registered to.
// Fails closed: with a country list set, a public address of no known country is rejected.
// Every member is safe to call from several threads.
class CountryFilter {
  public:
    // Replaces the table with the ranges of a "geoip.csv" file and marks it loaded.
    [[nodiscard]] bool loadTable(const std::string& path, std::string& error);
    [[nodiscard]] bool saveTable(const std::string& path, std::string& error) const;
    // Replaces the table with the ranges of registry statistics files, read in the order given.
    // On failure the table is left as it was.
    [[nodiscard]] bool importRirFiles(const std::vector<std::string>& paths, std::string& error);

    // Replaces the settings; with a non-empty country list the table at tablePath is loaded, and a
    // table that cannot be loaded leaves the filter rejecting every public address.
    void configure(const std::string& tablePath, const std::set<std::string>& countries,
                   bool allowPrivateAddresses);

    bool isEnabled() const;
    std::set<std::string> allowedCountries() const;
    // Whether an address table is loaded.
    bool tableLoaded() const;
    std::size_t ipv4RangeCount() const;
    std::size_t ipv6RangeCount() const;
    // The distinct codes the table carries.
    std::set<std::string> tableCountries() const;

    GeoCheckResult check(std::string_view addressText) const;

  private:
    mutable std::mutex mutex_;
    std::set<std::string> countries_;    // guarded by mutex_
    bool allowPrivateAddresses_ = true;  // guarded by mutex_
    RangeList ipv4_;                     // guarded by mutex_
    RangeList ipv6_;                     // guarded by mutex_
    bool tableLoaded_ = false;           // guarded by mutex_
};

}  // namespace vel::gate
