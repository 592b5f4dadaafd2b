#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vel::stream {

// Records inside a packet's payload: type u8, LEB128 body length, body.
enum class RecordType : std::uint8_t {
    Hello = 1,
    HelloReply = 2,
    Ping = 3,
    Pong = 4,
    VideoFragment = 5,
    Audio = 6,
    Reliable = 7,
    Ack = 8,
    Feedback = 9,
    Nack = 10,
    Close = 11,
};

// A varint never takes more than this many 7-bit groups; a longer one is malformed.
constexpr std::size_t kMaxVarintBytes = 10;

std::size_t varintSize(std::uint64_t value);
// Writes `value` at `out` (room for varintSize(value) bytes); returns the bytes written.
std::size_t writeVarint(std::uint64_t value, std::uint8_t* out);
// Reads a varint at in[offset], advancing offset; false when it is cut off or too long.
[[nodiscard]] bool readVarint(std::span<const std::uint8_t> in, std::size_t& offset,
                              std::uint64_t& value);

struct Record {
    std::uint8_t type = 0;
    std::span<const std::uint8_t> body;
};

// Walks the records of one decrypted payload. next() is false at the end and at the first
// malformed record (a bad varint or a body running past the payload); what came before stands.
class RecordReader {
  public:
    explicit RecordReader(std::span<const std::uint8_t> payload) : payload_(payload) {}
    [[nodiscard]] bool next(Record& record);

  private:
    std::span<const std::uint8_t> payload_;
    std::size_t offset_ = 0;
};

// Appends records to a payload buffer, refusing any that would not fit.
class RecordWriter {
  public:
    explicit RecordWriter(std::span<std::uint8_t> payload) : payload_(payload) {}
    // Room left for a body after its record header.
    std::size_t bodyRoom() const;
    // Writes type and length and returns the place for `bodySize` body bytes; null if no room.
    std::uint8_t* begin(RecordType type, std::size_t bodySize);
    [[nodiscard]] bool append(RecordType type, std::span<const std::uint8_t> body);
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { size_ = 0; }

  private:
    std::span<std::uint8_t> payload_;
    std::size_t size_ = 0;
};

}  // namespace vel::stream
