#include <sys/stat.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "admin/admin_commands.h"
#include "gate/country_filter.h"
#include "os/paths.h"

namespace vel::admin {

using gate::countryDisplayName;
using gate::CountryFilter;
using gate::GateConfig;
using gate::GateStore;
using gate::GeoCheckResult;
using gate::GeoVerdict;
using gate::parseCountryList;

namespace {

std::string tablePath() {
    return JoinPath(DataDirectory(), "geoip.csv");
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::string rangesLine(const CountryFilter& filter) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%zu ranges, %zu countries",
                  filter.ipv4RangeCount() + filter.ipv6RangeCount(),
                  filter.tableCountries().size());
    return buffer;
}

int geoShow(const GateConfig& config, const LineWriter& out) {
    if (config.allowedCountries.empty()) {
        out("  Country filter: off (access is allowed from anywhere).");
    } else {
        out("  Country filter: on");
        for (const std::string& code : config.allowedCountries)
            out("    " + countryDisplayName(code));
        out(std::string("  Local addresses: ") +
            (config.allowPrivateAddresses ? "always allowed" : "also checked"));
    }
    CountryFilter filter;
    std::string error;
    if (filter.loadTable(tablePath(), error)) {
        out("  Address table: " + rangesLine(filter));
        return 0;
    }
    out("  Address table: not loaded (" + error + ").");
    if (!config.allowedCountries.empty()) {
        out("  WARNING: the filter is on without a table — external connections");
        out("  are rejected. Run geoip-import or geo clear.");
    }
    return 0;
}

int geoTest(int argc, char** argv, const GateConfig& config, const LineWriter& out) {
    if (argc < 4) {
        out("Specify an address: Velmora.exe geo test 8.8.8.8");
        return 1;
    }
    const std::string address = argv[3];
    const bool filterOff = config.allowedCountries.empty();
    // With no list the filter would allow everything unseen; a placeholder list makes it look up.
    CountryFilter filter;
    filter.configure(tablePath(), filterOff ? std::set<std::string>{"__"} : config.allowedCountries,
                     config.allowPrivateAddresses);
    if (filterOff) out("  (the filter is currently off — only country lookup is shown)");
    out("  Address: " + address);
    const GeoCheckResult result = filter.check(address);
    switch (result.verdict) {
        case GeoVerdict::TableMissing:
            out("  Result:  REJECTED — address table is not loaded");
            break;
        case GeoVerdict::CountryUnknown:
            out("  Country: not identified");
            out("  Result:  REJECTED — address is not in the table");
            break;
        case GeoVerdict::CountryNotAllowed:
            out("  Country: " + countryDisplayName(result.country));
            out(filterOff ? "  Result:  would be rejected if the country is not listed"
                          : "  Result:  REJECTED — country is not in the list");
            break;
        case GeoVerdict::LocalAddress:
            out("  Country: local address, no country");
            out("  Result:  ACCESS ALLOWED (local network)");
            break;
        case GeoVerdict::Allowed:
            out("  Country: " + countryDisplayName(result.country));
            out("  Result:  ACCESS ALLOWED");
            break;
    }
    return 0;
}

int geoClear(GateStore& store, const LineWriter& out) {
    GateConfig config = store.config();
    config.allowedCountries.clear();
    store.setConfig(config);
    std::string error;
    if (!store.save(error)) {
        out("ERROR: " + error);
        return 1;
    }
    out("Country filter is off. Access is possible from anywhere again");
    out("(the RDP port still opens only on a FIDO key).");
    out("");
    out("The service picks up the change after a restart:");
    out("    systemctl restart velmora");
    return 0;
}

int geoAllow(int argc, char** argv, GateStore& store, const LineWriter& out) {
    if (argc < 4) {
        out("Specify country codes: Velmora.exe geo allow RU KZ");
        return 1;
    }
    std::string text;
    for (int i = 3; i < argc; ++i) text += (i > 3 ? "," : "") + std::string(argv[i]);
    std::set<std::string> countries;
    std::string error;
    if (!parseCountryList(text, countries, error)) {
        out("ERROR: " + error);
        return 1;
    }
    if (countries.empty()) {
        out("The list is empty. To turn the filter off: geo clear");
        return 1;
    }
    CountryFilter filter;
    if (!filter.loadTable(tablePath(), error)) {
        out("ERROR: the address table is not loaded (" + error + ").");
        out("First run: Velmora.exe geoip-import <RIR files>");
        out("Enabling the filter without a table would cut off your own access.");
        return 1;
    }
    const std::set<std::string> known = filter.tableCountries();
    for (const std::string& code : countries) {
        if (!known.contains(code)) {
            out("WARNING: country " + code +
                " is not in the table — nobody from it will be able to connect.");
        }
    }
    GateConfig config = store.config();
    config.allowedCountries = countries;
    store.setConfig(config);
    if (!store.save(error)) {
        out("ERROR: " + error);
        return 1;
    }
    out("Access is allowed only from:");
    for (const std::string& code : countries) out("    " + countryDisplayName(code));
    out("");
    out("Local addresses (LAN, loopback) remain allowed,");
    out("so access from the machine itself will not be lost.");
    out("");
    out("Check your external address before restarting the service:");
    out("    Velmora.exe geo test <your_external_IP>");
    out("Apply: systemctl restart velmora");
    return 0;
}

}  // namespace

int CmdGeo(int argc, char** argv, const LineWriter& out) {
    const std::string action = argc >= 3 ? argv[2] : "show";
    const bool changes = SameOption(action, "allow") || SameOption(action, "clear");
    if (changes && !RequireElevation(out)) return 1;
    GateStore store;
    std::string error;
    if (!LoadGateStore(store, error)) {
        out("ERROR: " + error);
        return 1;
    }
    if (SameOption(action, "show")) return geoShow(store.config(), out);
    if (SameOption(action, "test")) return geoTest(argc, argv, store.config(), out);
    if (SameOption(action, "clear")) return geoClear(store, out);
    if (SameOption(action, "allow")) return geoAllow(argc, argv, store, out);
    out("Unknown action: " + action);
    out("Available: show, allow, clear, test");
    return 1;
}

int CmdGeoipImport(int argc, char** argv, const LineWriter& out) {
    if (!RequireElevation(out)) return 1;
    if (argc < 3) {
        out("Specify one or more RIR statistics files:");
        out("  Velmora.exe geoip-import delegated-ripencc-latest ...");
        out("");
        out("The files are freely available from the regional registries:");
        out("  https://ftp.ripe.net/pub/stats/ripencc/delegated-ripencc-extended-latest");
        out("  https://ftp.arin.net/pub/stats/arin/delegated-arin-extended-latest");
        out("  https://ftp.apnic.net/stats/apnic/delegated-apnic-extended-latest");
        out("  https://ftp.lacnic.net/pub/stats/lacnic/delegated-lacnic-extended-latest");
        out("  https://ftp.afrinic.net/pub/stats/afrinic/delegated-afrinic-extended-latest");
        out("");
        out("Import all five, otherwise some addresses will remain unidentified");
        out("and will be rejected.");
        return 1;
    }
    std::vector<std::string> files;
    for (int i = 2; i < argc; ++i) {
        if (!isRegularFile(argv[i])) {
            out(std::string("File not found: ") + argv[i]);
            return 1;
        }
        files.emplace_back(argv[i]);
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "Parsing files: %zu", files.size());
    out(buffer);
    CountryFilter filter;
    std::string error;
    if (!filter.importRirFiles(files, error) || !filter.saveTable(tablePath(), error)) {
        out("ERROR: " + error);
        return 1;
    }
    out("Done: " + rangesLine(filter) + ".");
    out("Table: " + tablePath());
    out("");
    out("You can now enable the filter:  Velmora.exe geo allow RU KZ");
    return 0;
}

}  // namespace vel::admin
