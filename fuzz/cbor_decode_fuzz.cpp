#include <cstddef>
#include <cstdint>
#include <span>

#include "gate/cbor.h"
#include "gate/cose_key.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    vel::gate::CborValue value;
    std::size_t consumed = 0;
    if (!vel::gate::CborDecode(input, value, &consumed)) return 0;
    if (consumed == 0 || consumed > size) __builtin_trap();
    // The item ends where the decoder said: its own bytes decode alone to the same length.
    vel::gate::CborValue again;
    std::size_t consumedAgain = 0;
    if (!vel::gate::CborDecode(input.first(consumed), again, &consumedAgain) ||
        consumedAgain != consumed) {
        __builtin_trap();
    }
    vel::CoseKey key;
    vel::gate::DecodeCoseKey(value, key);
    return 0;
}
