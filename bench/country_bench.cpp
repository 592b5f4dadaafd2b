// Country filter at the size of the real registry files: import of all five statistics files and
// the per-request check, each beside a plain reference measured in the same run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "gate/country_filter.h"
#include "gate/country_table.h"
#include "os/files.h"
#include "rir_files.h"

namespace vel::gate {

using net::IpAddress;
using net::parseIpAddress;

namespace {

// A directory of its own for the run's files, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/velmora-country-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw Error("mkdtemp failed");
        path = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

// The generated files and what the benchmarks derive from them, made once per run.
struct Data {
    TempDir dir;
    bench::RirFiles files;
    std::string tablePath;
    CountryFilter filter;
    std::vector<CountryRange> ipv4;  // the filter's ranges, for the reference search
    std::vector<CountryRange> ipv6;

    Data() {
        files = bench::writeRirFiles(dir.path, 1);
        std::string error;
        tablePath = dir.path + "/geoip.csv";
        if (!filter.importRirFiles(files.paths, error) || !filter.saveTable(tablePath, error))
            throw Error(error);
        filter.configure(tablePath, {"RU", "DE", "US"}, true);

        std::string text;
        if (!ReadFileText(tablePath, text)) throw Error("cannot read " + tablePath);
        CountryTable table;
        addTableRanges(text, table);
        ipv4 = std::move(table.ipv4);
        ipv6 = std::move(table.ipv6);
    }
};

Data& data() {
    static Data instance;
    return instance;
}

// Addresses the lookups cycle through: allocated public addresses spread over the whole table,
// so that the searches do not all hit the same cache lines.
const std::vector<std::string>& publicAddresses() {
    return data().files.allocatedAddresses;
}

const std::string& onePublicAddress() {
    static const std::string address = [] {
        for (const std::string& a : publicAddresses()) {
            if (a.find(':') == std::string::npos) return a;
        }
        throw Error("no IPv4 address generated");
    }();
    return address;
}

void ImportRegistryFiles(benchmark::State& state) {
    const auto& paths = data().files.paths;
    for (auto _ : state) {
        CountryFilter filter;
        std::string error;
        if (!filter.importRirFiles(paths, error)) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(filter.ipv4RangeCount());
    }
    state.counters["lines"] = static_cast<double>(data().files.lines);
}

// Reading the same files and cutting every line into its fields: the least any import must do.
void ReferenceReadAndSplit(benchmark::State& state) {
    const auto& paths = data().files.paths;
    for (auto _ : state) {
        std::size_t fields = 0;
        for (const std::string& path : paths) {
            std::string text;
            if (!ReadFileText(path, text)) state.SkipWithError("read failed");
            std::string_view rest = text;
            while (!rest.empty()) {
                const std::size_t end = std::min(rest.find('\n'), rest.size());
                const std::string_view line = rest.substr(0, end);
                fields += 1 + static_cast<std::size_t>(std::count(line.begin(), line.end(), '|'));
                rest.remove_prefix(std::min(end + 1, rest.size()));
            }
        }
        benchmark::DoNotOptimize(fields);
    }
}

void CheckOneAddress(benchmark::State& state) {
    const CountryFilter& filter = data().filter;
    const std::string& address = onePublicAddress();
    for (auto _ : state) benchmark::DoNotOptimize(filter.check(address));
}

void ParseVaryingAddresses(benchmark::State& state) {
    const auto& addresses = publicAddresses();
    std::size_t i = 0;
    IpAddress a;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseIpAddress(addresses[i], a));
        if (++i == addresses.size()) i = 0;
    }
}

void CheckVaryingAddresses(benchmark::State& state) {
    const CountryFilter& filter = data().filter;
    const auto& addresses = publicAddresses();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(filter.check(addresses[i]));
        if (++i == addresses.size()) i = 0;
    }
}

const CountryRange* referenceSearch(const std::vector<CountryRange>& ranges,
                                    const IpAddress& address) {
    auto after =
        std::upper_bound(ranges.begin(), ranges.end(), address,
                         [](const IpAddress& a, const CountryRange& r) { return a < r.start; });
    if (after == ranges.begin() || (after - 1)->end < address) return nullptr;
    return &*(after - 1);
}

IpAddress referenceParse(const std::string& text) {
    IpAddress address;
    if (!parseIpAddress(text, address)) throw Error("bad address " + text);
    return address;
}

// std::upper_bound over the same ranges for an address parsed beforehand.
void ReferenceUpperBoundOne(benchmark::State& state) {
    const IpAddress address = referenceParse(onePublicAddress());
    for (auto _ : state) benchmark::DoNotOptimize(referenceSearch(data().ipv4, address));
}

void ReferenceUpperBoundVarying(benchmark::State& state) {
    std::vector<IpAddress> addresses;
    for (const std::string& text : publicAddresses()) addresses.push_back(referenceParse(text));
    std::size_t i = 0;
    for (auto _ : state) {
        const IpAddress& a = addresses[i];
        benchmark::DoNotOptimize(referenceSearch(a.isV6 ? data().ipv6 : data().ipv4, a));
        if (++i == addresses.size()) i = 0;
    }
}

// The filter's own search structure for the same pre-parsed addresses.
void FindVaryingAddresses(benchmark::State& state) {
    const RangeList ipv4(data().ipv4);
    const RangeList ipv6(data().ipv6);
    std::vector<IpAddress> addresses;
    for (const std::string& text : publicAddresses()) addresses.push_back(referenceParse(text));
    std::size_t i = 0;
    for (auto _ : state) {
        const IpAddress& a = addresses[i];
        benchmark::DoNotOptimize((a.isV6 ? ipv6 : ipv4).find(a));
        if (++i == addresses.size()) i = 0;
    }
}

// inet_pton followed by the same std::upper_bound: what a check costs without the filter's rules.
void ReferencePtonUpperBoundVarying(benchmark::State& state) {
    const auto& addresses = publicAddresses();
    std::size_t i = 0;
    for (auto _ : state) {
        const std::string& text = addresses[i];
        IpAddress a;
        in_addr v4{};
        unsigned char v6[16];
        if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
            a = IpAddress{0, ntohl(v4.s_addr), false};
        } else if (::inet_pton(AF_INET6, text.c_str(), v6) == 1) {
            a.isV6 = true;
            for (int b = 0; b < 8; ++b) a.hi = (a.hi << 8) | v6[b];
            for (int b = 8; b < 16; ++b) a.lo = (a.lo << 8) | v6[b];
        }
        benchmark::DoNotOptimize(referenceSearch(a.isV6 ? data().ipv6 : data().ipv4, a));
        if (++i == addresses.size()) i = 0;
    }
}

BENCHMARK(ImportRegistryFiles)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ReferenceReadAndSplit)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(CheckOneAddress);
BENCHMARK(ReferenceUpperBoundOne);
BENCHMARK(CheckVaryingAddresses);
BENCHMARK(ReferenceUpperBoundVarying);
BENCHMARK(ReferencePtonUpperBoundVarying);
BENCHMARK(ParseVaryingAddresses);
BENCHMARK(FindVaryingAddresses);

// Keeps the console table and remembers each figure for the comparison lines at the end.
class ComparingReporter : public benchmark::ConsoleReporter {
  public:
    ComparingReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const double seconds =
                run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            times_[run.run_name.function_name] = seconds;
        }
    }

    void compare(const char* what, const char* name, const char* reference, const char* how) {
        if (!times_.count(name) || !times_.count(reference)) return;
        const double ours = times_[name];
        const double theirs = times_[reference];
        std::printf("%-44s %s  (%s: %s, ratio %.2f)\n", what, format(ours).c_str(), how,
                    format(theirs).c_str(), ours / theirs);
    }

  private:
    static std::string format(double seconds) {
        char text[32];
        if (seconds >= 1e-3) {
            std::snprintf(text, sizeof text, "%9.1f ms", seconds * 1e3);
        } else {
            std::snprintf(text, sizeof text, "%9.1f ns", seconds * 1e9);
        }
        return text;
    }

    std::map<std::string, double> times_;
};

}  // namespace
}  // namespace vel::gate

int main(int argc, char** argv) {
    using namespace vel::gate;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const auto& files = data().files;
    std::printf("registry files: %zu lines, %.1f MiB; table: %zu IPv4 + %zu IPv6 ranges\n",
                files.lines, static_cast<double>(files.bytes) / (1024 * 1024), data().ipv4.size(),
                data().ipv6.size());
    ComparingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // CPU time: the machines these run on are shared, and wall time mostly measures the neighbours.
    std::printf("\nCPU time per operation:\n");
    reporter.compare("import of five registry files", "ImportRegistryFiles",
                     "ReferenceReadAndSplit", "read and split lines");
    reporter.compare("check of one public address", "CheckOneAddress", "ReferenceUpperBoundOne",
                     "std::upper_bound");
    reporter.compare("check of varying public addresses", "CheckVaryingAddresses",
                     "ReferenceUpperBoundVarying", "std::upper_bound");
    reporter.compare("search of varying parsed addresses", "FindVaryingAddresses",
                     "ReferenceUpperBoundVarying", "std::upper_bound");
    reporter.compare("check of varying public addresses", "CheckVaryingAddresses",
                     "ReferencePtonUpperBoundVarying", "inet_pton + std::upper_bound");
    benchmark::Shutdown();
    return 0;
}
