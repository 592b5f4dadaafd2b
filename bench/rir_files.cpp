#include "rir_files.h"

#include <arpa/inet.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <string_view>

#include "core/error.h"
#include "os/files.h"

namespace vel::bench {

namespace {

struct Registry {
    const char* name;
    std::size_t records;
    std::vector<const char*> countries;  // the first ones get most of the blocks
    std::uint16_t ipv6Top;               // the registry's /12 of IPv6 space
    bool leadingComments;
};

const std::array<Registry, 5>& registries() {
    static const std::array<Registry, 5> list = {{
        {"ripencc",
         230000,
         {"RU", "DE", "GB", "NL", "FR", "IT", "PL", "UA", "ES", "SE",
          "TR", "CH", "KZ", "IR", "RO", "CZ", "AT", "BG", "NO", "FI"},
         0x2a00,
         false},
        {"arin", 160000, {"US", "CA", "PR", "JM", "BS", "BB"}, 0x2600, true},
        {"apnic",
         110000,
         {"CN", "JP", "AU", "IN", "KR", "ID", "VN", "TH", "HK", "TW", "SG", "NZ", "MY", "PH", "BD",
          "PK"},
         0x2400,
         false},
        {"lacnic",
         100000,
         {"BR", "MX", "AR", "CL", "CO", "PE", "EC", "VE", "UY", "CR"},
         0x2800,
         false},
        {"afrinic",
         15000,
         {"ZA", "EG", "NG", "KE", "MA", "TN", "GH", "DZ", "TZ", "UG"},
         0x2c00,
         false},
    }};
    return list;
}

bool publicSlash8(unsigned n) {
    return n >= 1 && n <= 223 && n != 10 && n != 100 && n != 127 && n != 169 && n != 172 &&
           n != 192;
}

class Writer {
  public:
    Writer(const Registry& registry, std::size_t index, std::uint32_t seed, double scale)
        : registry_(registry),
          random_(seed * 7919u + static_cast<std::uint32_t>(index)),
          records_(static_cast<std::size_t>(static_cast<double>(registry.records) * scale)) {
        // Every fifth public /8 belongs to this registry, as blocks are spread in reality.
        for (unsigned n = 1; n < 224; ++n) {
            if (publicSlash8(n) && n % 5 == index) slash8s_.push_back(n);
        }
        ipv4Cursor_ = slash8s_[0] << 24;
        ipv6Cursor_ = static_cast<std::uint64_t>(registry.ipv6Top) << 48;
    }

    std::string text(RirFiles& files) {
        const std::size_t asns = records_ / 4;
        const std::size_t ipv4 = records_ * 45 / 100;
        const std::size_t ipv6 = records_ - asns - ipv4;
        std::string out;
        out.reserve(records_ * 80);
        if (registry_.leadingComments) {
            out += "#\n# Statistics on the distribution of Internet number resources,\n";
            out += "# with opaque identifiers of the holding organisations.\n#\n";
        }
        line(out, "2|%s|20240101|%zu|19830705|20240101|+0000", registry_.name, records_);
        line(out, "%s|*|asn|*|%zu|summary", registry_.name, asns);
        line(out, "%s|*|ipv4|*|%zu|summary", registry_.name, ipv4);
        line(out, "%s|*|ipv6|*|%zu|summary", registry_.name, ipv6);
        std::uint32_t asn = 1000 + static_cast<std::uint32_t>(random_() % 1000);
        for (std::size_t i = 0; i < asns; ++i) {
            const std::uint32_t count = random_() % 20 == 0 ? 1 + random_() % 8 : 1;
            record(out, "asn", std::to_string(asn), count);
            asn += count + (random_() % 4 == 0 ? random_() % 50 : 0);
        }
        for (std::size_t i = 0; i < ipv4; ++i) ipv4Record(out, files);
        for (std::size_t i = 0; i < ipv6; ++i) ipv6Record(out, files);
        return out;
    }

  private:
    void line(std::string& out, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        char buffer[256];
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        out.append(buffer, static_cast<std::size_t>(n));
        out += '\n';
    }

    // Mostly the registry's first few countries, as in the real files.
    const char* country() {
        const auto& list = registry_.countries;
        std::size_t pick = 0;
        while (pick + 1 < list.size() && random_() % 3 != 0) ++pick;
        return list[pick];
    }

    // allocated/assigned with a country, or a block without one.
    const char* status(bool& withCountry) {
        const unsigned roll = random_() % 100;
        withCountry = roll < 86;
        if (roll < 50) return "allocated";
        if (roll < 86) return "assigned";
        return roll < 95 ? "available" : "reserved";
    }

    void record(std::string& out, const char* type, const std::string& start, std::uint64_t value) {
        bool withCountry = true;
        const char* state = status(withCountry);
        const unsigned year = random_() % 34;
        const unsigned month = random_() % 12;
        const unsigned date = 19900101 + year * 10000 + month * 100 + random_() % 28;
        if (withCountry) {
            const char* code = country();
            const std::uint32_t id = random_();
            line(out, "%s|%s|%s|%s|%llu|%u|%s|%08x-%04x", registry_.name, code, type, start.c_str(),
                 static_cast<unsigned long long>(value), date, state, id, id >> 16);
        } else {
            line(out, "%s||%s|%s|%llu||%s|", registry_.name, type, start.c_str(),
                 static_cast<unsigned long long>(value), state);
        }
        lastHadCountry_ = withCountry;
    }

    void ipv4Record(std::string& out, RirFiles& files) {
        static constexpr std::array<std::uint32_t, 10> kSizes = {256,  256,  256,  512,  1024,
                                                                 1024, 2048, 4096, 8192, 16384};
        std::uint32_t size = kSizes[random_() % kSizes.size()];
        if (random_() % 40 == 0) size = 256 * (3 + random_() % 20);  // ARIN-style odd counts
        if (random_() % 500 == 0) size = 65536;
        std::uint32_t start = ipv4Cursor_;
        if (((start + size - 1) >> 24) != slash8s_[slash8_]) {
            if (++slash8_ == slash8s_.size()) throw Error("IPv4 space of a registry exhausted");
            start = slash8s_[slash8_] << 24;
        }
        const std::uint32_t gap = random_() % 8 == 0 ? 256 * (random_() % 16) : 0;
        ipv4Cursor_ = start + size + gap;
        in_addr address{htonl(start)};
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &address, text, sizeof text);
        record(out, "ipv4", text, size);
        if (lastHadCountry_ && random_() % 64 == 0) {
            in_addr inside{htonl(start + random_() % size)};
            ::inet_ntop(AF_INET, &inside, text, sizeof text);
            files.allocatedAddresses.emplace_back(text);
        }
    }

    void ipv6Record(std::string& out, RirFiles& files) {
        static constexpr std::array<unsigned, 8> kPrefixes = {29, 32, 32, 48, 48, 48, 44, 36};
        const unsigned prefix = kPrefixes[random_() % kPrefixes.size()];
        const std::uint64_t size = std::uint64_t{1} << (64 - prefix);
        const std::uint64_t start = (ipv6Cursor_ + size - 1) / size * size;
        ipv6Cursor_ = start + size + (random_() % 8 == 0 ? size * (random_() % 4) : 0);
        std::array<std::uint8_t, 16> bytes{};
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(start >> (56 - 8 * i));
        char text[INET6_ADDRSTRLEN];
        ::inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
        record(out, "ipv6", text, prefix);
        if (lastHadCountry_ && random_() % 64 == 0) {
            bytes[15] = static_cast<std::uint8_t>(1 + random_() % 200);
            ::inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
            files.allocatedAddresses.emplace_back(text);
        }
    }

    const Registry& registry_;
    std::mt19937 random_;
    std::size_t records_;
    std::vector<std::uint32_t> slash8s_;
    std::size_t slash8_ = 0;
    std::uint32_t ipv4Cursor_ = 0;
    std::uint64_t ipv6Cursor_ = 0;  // the high 64 bits; every prefix here is at most /64
    bool lastHadCountry_ = false;
};

}  // namespace

RirFiles writeRirFiles(const std::string& dir, std::uint32_t seed, double scale) {
    RirFiles files;
    for (std::size_t i = 0; i < registries().size(); ++i) {
        const Registry& registry = registries()[i];
        const std::string text = Writer(registry, i, seed, scale).text(files);
        const std::string path = dir + "/delegated-" + registry.name + "-extended-latest";
        if (!WriteFileAtomic(path, text)) throw Error("cannot write " + path);
        files.paths.push_back(path);
        files.bytes += text.size();
        for (char c : text) files.lines += c == '\n';
    }
    return files;
}

}  // namespace vel::bench
