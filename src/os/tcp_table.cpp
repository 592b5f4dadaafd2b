#include "os/tcp_table.h"

#include <charconv>
#include <cstring>

#include "os/files.h"

namespace vel {

namespace {

bool parseHex32(std::string_view text, std::uint32_t& value) {
    if (text.size() != 8) return false;
    const auto r = std::from_chars(text.data(), text.data() + 8, value, 16);
    return r.ec == std::errc() && r.ptr == text.data() + 8;
}

// "0100007F:0D3D": the address as the kernel's 32-bit words printed in host order, then the port.
bool parseEndpoint(std::string_view text, bool ipv6, net::IpAddress& address, std::uint16_t& port) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view hexAddress = text.substr(0, colon);
    if (hexAddress.size() != (ipv6 ? 32u : 8u)) return false;
    std::uint8_t bytes[16] = {};
    for (size_t word = 0; word < hexAddress.size() / 8; ++word) {
        std::uint32_t value = 0;
        if (!parseHex32(hexAddress.substr(word * 8, 8), value)) return false;
        std::memcpy(&bytes[word * 4], &value, 4);
    }
    address = ipv6 ? net::IpAddress::fromV6Bytes(bytes) : net::IpAddress::fromV4Bytes(bytes);
    const std::string_view hexPort = text.substr(colon + 1);
    unsigned value = 0;
    const auto r = std::from_chars(hexPort.data(), hexPort.data() + hexPort.size(), value, 16);
    if (r.ec != std::errc() || r.ptr != hexPort.data() + hexPort.size() || value > 0xffff)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> result;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ') ++i;
        if (i > start) result.push_back(line.substr(start, i - start));
    }
    return result;
}

std::vector<TcpRow> readTable(const char* path, bool ipv6) {
    // /proc files report a size of 0, so they are read as a stream rather than by size.
    std::string text;
    if (!ReadStreamFile(path, text)) return {};
    return ParseProcNetTcp(text, ipv6);
}

}  // namespace

std::vector<TcpRow> ParseProcNetTcp(std::string_view text, bool ipv6) {
    std::vector<TcpRow> rows;
    size_t start = text.find('\n');  // the first line is the column header
    while (start != std::string_view::npos && start + 1 < text.size()) {
        const size_t end = text.find('\n', start + 1);
        const std::string_view line =
            text.substr(start + 1, end == std::string_view::npos ? end : end - start - 1);
        start = end;
        const std::vector<std::string_view> f = fields(line);
        if (f.size() < 4) continue;
        TcpRow row;
        unsigned state = 0;
        const auto r = std::from_chars(f[3].data(), f[3].data() + f[3].size(), state, 16);
        if (r.ec != std::errc() || !parseEndpoint(f[1], ipv6, row.localAddress, row.localPort) ||
            !parseEndpoint(f[2], ipv6, row.remoteAddress, row.remotePort)) {
            continue;
        }
        row.state = static_cast<int>(state);
        rows.push_back(row);
    }
    return rows;
}

namespace {

class ProcTcpTable final : public TcpTable {
  public:
    std::vector<TcpRow> rows() const override {
        std::vector<TcpRow> rows = readTable("/proc/net/tcp", false);
        std::vector<TcpRow> rows6 = readTable("/proc/net/tcp6", true);
        rows.insert(rows.end(), rows6.begin(), rows6.end());
        return rows;
    }
};

}  // namespace

const TcpTable& SystemTcpTable() {
    static const ProcTcpTable table;
    return table;
}

bool HasEstablishedConnection(const std::vector<TcpRow>& table, const net::IpAddress& remoteAddress,
                              std::uint16_t localPort) {
    for (const TcpRow& row : table) {
        if (row.state == kTcpEstablished && row.localPort == localPort &&
            row.remoteAddress == remoteAddress) {
            return true;
        }
    }
    return false;
}

bool IsListening(const std::vector<TcpRow>& table, std::uint16_t port) {
    for (const TcpRow& row : table) {
        if (row.state == kTcpListen && row.localPort == port) return true;
    }
    return false;
}

}  // namespace vel
