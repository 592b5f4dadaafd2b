#include "gate/country_filter.h"

#include <array>
#include <cerrno>
#include <utility>

#include "os/files.h"
#include "os/log.h"
#include "os/system_error.h"

namespace vel::gate {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 41> kCountryNames = {{
    {"RU", "Russia"},     {"KZ", "Kazakhstan"},     {"BY", "Belarus"}, {"UA", "Ukraine"},
    {"AM", "Armenia"},    {"AZ", "Azerbaijan"},     {"GE", "Georgia"}, {"KG", "Kyrgyzstan"},
    {"UZ", "Uzbekistan"}, {"TJ", "Tajikistan"},     {"MD", "Moldova"}, {"LV", "Latvia"},
    {"LT", "Lithuania"},  {"EE", "Estonia"},        {"DE", "Germany"}, {"NL", "Netherlands"},
    {"FR", "France"},     {"GB", "United Kingdom"}, {"US", "USA"},     {"CA", "Canada"},
    {"PL", "Poland"},     {"CZ", "Czechia"},        {"TR", "Turkey"},  {"RS", "Serbia"},
    {"AE", "UAE"},        {"CN", "China"},          {"IN", "India"},   {"IL", "Israel"},
    {"TH", "Thailand"},   {"VN", "Vietnam"},        {"ES", "Spain"},   {"IT", "Italy"},
    {"FI", "Finland"},    {"SE", "Sweden"},         {"NO", "Norway"},  {"CH", "Switzerland"},
    {"AT", "Austria"},    {"BG", "Bulgaria"},       {"RO", "Romania"}, {"HU", "Hungary"},
    {"MN", "Mongolia"},
}};

constexpr std::string_view kCountrySeparators = "\t\n\r ,;";

bool readTable(const std::string& path, RangeList& ipv4, RangeList& ipv6, std::string& error) {
    std::string text;
    if (!ReadFileText(path, text)) {
        error = "failed to read file " + path;
        return false;
    }
    CountryTable table;
    addTableRanges(text, table);
    if (table.ipv4.empty() && table.ipv6.empty()) {
        error = "the file contains no valid ranges";
        return false;
    }
    ipv4 = RangeList(std::move(table.ipv4));
    ipv6 = RangeList(std::move(table.ipv6));
    return true;
}

}  // namespace

bool parseCountryList(std::string_view text, std::set<std::string>& out, std::string& error) {
    out.clear();
    std::set<std::string> codes;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t begin = text.find_first_not_of(kCountrySeparators, at);
        if (begin == std::string_view::npos) break;
        std::size_t end = text.find_first_of(kCountrySeparators, begin);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view piece = text.substr(begin, end - begin);
        std::string code;
        if (!parseCountryCode(piece, code)) {
            error = "'" + std::string(piece) +
                    "' does not look like a two-letter country code (e.g. RU or KZ)";
            return false;
        }
        codes.insert(std::move(code));
        at = end;
    }
    out = std::move(codes);
    return true;
}

std::string countryDisplayName(std::string_view code) {
    for (const auto& [known, name] : kCountryNames) {
        if (known == code) return std::string(code) + " (" + std::string(name) + ")";
    }
    return std::string(code);
}

bool CountryFilter::loadTable(const std::string& path, std::string& error) {
    RangeList ipv4, ipv6;
    if (!readTable(path, ipv4, ipv6, error)) return false;
    std::lock_guard lock(mutex_);
    ipv4_ = std::move(ipv4);
    ipv6_ = std::move(ipv6);
    tableLoaded_ = true;
    return true;
}

bool CountryFilter::saveTable(const std::string& path, std::string& error) const {
    std::string text;
    {
        std::lock_guard lock(mutex_);
        text = formatTable(ipv4_, ipv6_);
    }
    if (!WriteFileAtomic(path, text)) {
        error = "failed to write " + path + ": " + SystemErrorText(errno);
        return false;
    }
    return true;
}

bool CountryFilter::importRirFiles(const std::vector<std::string>& paths, std::string& error) {
    // Parsed without the lock: an import takes a noticeable fraction of a second and requests
    // keep being checked meanwhile.
    CountryTable table;
    std::size_t parsed = 0;
    for (const std::string& path : paths) {
        std::string text;
        if (!ReadFileText(path, text)) {
            error = "failed to read file " + path;
            return false;
        }
        parsed += addRegistryRanges(text, table);
    }
    if (parsed == 0) {
        error =
            "no lines could be parsed. Expected RIR delegated-extended format, e.g.: "
            "apnic|AU|ipv4|1.0.0.0|256|20110811|assigned";
        return false;
    }
    RangeList ipv4(std::move(table.ipv4));
    RangeList ipv6(std::move(table.ipv6));
    std::lock_guard lock(mutex_);
    ipv4_ = std::move(ipv4);
    ipv6_ = std::move(ipv6);
    tableLoaded_ = true;
    return true;
}

void CountryFilter::configure(const std::string& tablePath, const std::set<std::string>& countries,
                              bool allowPrivateAddresses) {
    RangeList ipv4, ipv6;
    std::string error;
    const bool loaded = !countries.empty() && readTable(tablePath, ipv4, ipv6, error);
    const std::size_t ranges = ipv4.size() + ipv6.size();
    {
        std::lock_guard lock(mutex_);
        countries_ = countries;
        allowPrivateAddresses_ = allowPrivateAddresses;
        ipv4_ = std::move(ipv4);
        ipv6_ = std::move(ipv6);
        tableLoaded_ = loaded;
    }
    if (countries.empty()) return;
    if (loaded) {
        Log(LogLevel::Info, "geo filter: %zu ranges loaded, countries allowed: %zu", ranges,
            countries.size());
    } else {
        Log(LogLevel::Error,
            "geo filter: a country list is set but the address table is not loaded (%s). Public "
            "addresses will be rejected. To restore: 'Velmora.exe geoip-import', or remove the "
            "filter: 'Velmora.exe geo clear'.",
            error.c_str());
    }
}

bool CountryFilter::isEnabled() const {
    std::lock_guard lock(mutex_);
    return !countries_.empty();
}

std::set<std::string> CountryFilter::allowedCountries() const {
    std::lock_guard lock(mutex_);
    return countries_;
}

bool CountryFilter::tableLoaded() const {
    std::lock_guard lock(mutex_);
    return tableLoaded_;
}

std::size_t CountryFilter::ipv4RangeCount() const {
    std::lock_guard lock(mutex_);
    return ipv4_.size();
}

std::size_t CountryFilter::ipv6RangeCount() const {
    std::lock_guard lock(mutex_);
    return ipv6_.size();
}

std::set<std::string> CountryFilter::tableCountries() const {
    std::lock_guard lock(mutex_);
    std::set<std::string> codes;
    for (const RangeList* list : {&ipv4_, &ipv6_}) {
        for (const CountryRange& range : list->ranges()) codes.insert(range.country);
    }
    return codes;
}

GeoCheckResult CountryFilter::check(std::string_view addressText) const {
    // Parsing needs no shared state, so it stays outside the lock.
    net::IpAddress address;
    const bool parsed = net::parseIpAddress(addressText, address);
    std::lock_guard lock(mutex_);
    if (countries_.empty()) return {GeoVerdict::Allowed, {}};
    if (!parsed) return {GeoVerdict::CountryUnknown, {}};
    if (allowPrivateAddresses_ && net::isLocalAddress(address))
        return {GeoVerdict::LocalAddress, {}};
    if (!tableLoaded_) return {GeoVerdict::TableMissing, {}};
    const CountryRange* range = (address.isV6 ? ipv6_ : ipv4_).find(address);
    if (range == nullptr) return {GeoVerdict::CountryUnknown, {}};
    const GeoVerdict verdict =
        countries_.count(range->country) != 0 ? GeoVerdict::Allowed : GeoVerdict::CountryNotAllowed;
    return {verdict, range->country};
}

}  // namespace vel::gate
