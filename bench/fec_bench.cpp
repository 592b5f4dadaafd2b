// The video erasure code against ISA-L's ec_encode_data on the same blocks of 1,130-byte shards,
// with ISA-L given our Cauchy matrix so that both produce the same bytes (checked once).
// Throughput counts the k data shards of a block per operation.
#include <benchmark/benchmark.h>
#include <isa-l/erasure_code.h>

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "stream/fec.h"
#include "stream/gf256.h"

namespace {

using vel::stream::GfPath;
using vel::stream::ReedSolomon;

constexpr int kShard = 1130;
constexpr int kPatterns = 64;  // more erasure patterns than the decoder keeps

struct Block {
    int k, m;
    std::vector<std::vector<unsigned char>> shards;
    std::vector<unsigned char*> pointers;
    std::vector<unsigned char> matrix;  // (k + m) x k: identity, then the Cauchy rows

    Block(int k_, int m_) : k(k_), m(m_), shards(k_ + m_, std::vector<unsigned char>(kShard)) {
        std::mt19937 rng(42);
        for (int d = 0; d < k; ++d) {
            for (auto& b : shards[d]) b = static_cast<unsigned char>(rng());
        }
        for (auto& s : shards) pointers.push_back(s.data());
        matrix.assign((k + m) * k, 0);
        for (int d = 0; d < k; ++d) matrix[d * k + d] = 1;
        for (int p = 0; p < m; ++p) {
            for (int d = 0; d < k; ++d) {
                matrix[(k + p) * k + d] =
                    vel::stream::gfInv(static_cast<std::uint8_t>((k + p) ^ d));
            }
        }
        ReedSolomon().encode(std::span(const_cast<const unsigned char**>(pointers.data()), k),
                             std::span(pointers.data() + k, m), kShard);
    }
};

// Erasure patterns that lose m data shards each, the worst case for decoding.
std::vector<std::vector<int>> patterns(int k, int m) {
    std::mt19937 rng(7);
    std::vector<std::vector<int>> out;
    for (int i = 0; i < kPatterns; ++i) {
        std::vector<int> order(k);
        for (int d = 0; d < k; ++d) order[d] = d;
        std::shuffle(order.begin(), order.end(), rng);
        order.resize(std::min(m, k));
        std::sort(order.begin(), order.end());
        out.push_back(order);
    }
    return out;
}

void encodeOurs(benchmark::State& state, int k, int m, GfPath path) {
    Block block(k, m);
    const ReedSolomon codec(path);
    const std::span data(const_cast<const unsigned char**>(block.pointers.data()), k);
    const std::span parity(block.pointers.data() + k, m);
    for (auto _ : state) {
        codec.encode(data, parity, kShard);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * k * kShard);
}

void encodeIsal(benchmark::State& state, int k, int m) {
    Block block(k, m);
    std::vector<unsigned char> tables(32 * k * m);
    ec_init_tables(k, m, &block.matrix[k * k], tables.data());
    std::vector<std::vector<unsigned char>> out(m, std::vector<unsigned char>(kShard));
    std::vector<unsigned char*> outPointers;
    for (auto& o : out) outPointers.push_back(o.data());
    ec_encode_data(kShard, k, m, tables.data(), block.pointers.data(), outPointers.data());
    for (int p = 0; p < m; ++p) {
        if (out[p] != block.shards[k + p]) throw std::runtime_error("ISA-L parity differs");
    }
    for (auto _ : state) {
        ec_encode_data(kShard, k, m, tables.data(), block.pointers.data(), outPointers.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * k * kShard);
}

// cached: one erasure pattern again and again (the decoding matrix is reused); otherwise a new
// pattern each time among more than the decoder keeps, so every decode inverts.
void decodeOurs(benchmark::State& state, int k, int m, bool cached) {
    Block block(k, m);
    const auto lost = patterns(k, m);
    ReedSolomon codec;
    std::vector<std::vector<unsigned char>> work = block.shards;
    std::vector<unsigned char*> pointers;
    for (auto& s : work) pointers.push_back(s.data());
    std::unique_ptr<bool[]> present(new bool[k + m]);
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& pattern = lost[cached ? 0 : i++ % lost.size()];
        std::fill(present.get(), present.get() + k + m, true);
        for (int d : pattern) present[d] = false;
        if (!codec.reconstruct(k, pointers, std::span(present.get(), k + m), kShard)) {
            throw std::runtime_error("decode failed");
        }
        benchmark::ClobberMemory();
    }
    for (int d = 0; d < k; ++d) {
        if (work[d] != block.shards[d]) throw std::runtime_error("decode differs");
    }
    state.SetBytesProcessed(state.iterations() * k * kShard);
}

// ISA-L's usual decode: invert the k x k matrix of the sources, take the rows of the missing
// shards, expand them to tables and apply them with ec_encode_data.
void decodeIsal(benchmark::State& state, int k, int m, bool cached) {
    Block block(k, m);
    const auto lost = patterns(k, m);
    std::vector<std::vector<unsigned char>> work = block.shards;
    std::vector<unsigned char> sub(k * k), inverse(k * k), rows(k * m), tables(32 * k * m);
    std::vector<unsigned char*> sources(k), outputs(m);
    auto prepare = [&](const std::vector<int>& pattern) {
        std::vector<bool> missing(k + m, false);
        for (int d : pattern) missing[d] = true;
        int s = 0;
        for (int i = 0; i < k + m && s < k; ++i) {
            if (missing[i]) continue;
            std::copy_n(&block.matrix[i * k], k, &sub[s * k]);
            sources[s++] = work[i].data();
        }
        if (gf_invert_matrix(sub.data(), inverse.data(), k) != 0) {
            throw std::runtime_error("singular");
        }
        for (std::size_t e = 0; e < pattern.size(); ++e) {
            std::copy_n(&inverse[pattern[e] * k], k, &rows[e * k]);
            outputs[e] = work[pattern[e]].data();
        }
        ec_init_tables(k, static_cast<int>(pattern.size()), rows.data(), tables.data());
    };
    prepare(lost[0]);
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& pattern = lost[cached ? 0 : i++ % lost.size()];
        if (!cached) prepare(pattern);
        ec_encode_data(kShard, k, static_cast<int>(pattern.size()), tables.data(), sources.data(),
                       outputs.data());
        benchmark::ClobberMemory();
    }
    for (int d = 0; d < k; ++d) {
        if (work[d] != block.shards[d]) throw std::runtime_error("ISA-L decode differs");
    }
    state.SetBytesProcessed(state.iterations() * k * kShard);
}

void registerShape(int k, int m) {
    const std::string shape = "k=" + std::to_string(k) + " m=" + std::to_string(m);
    const std::string encode = "FEC encode " + shape;
    benchmark::RegisterBenchmark(encode.c_str(), encodeOurs, k, m, vel::stream::gfBestPath());
    benchmark::RegisterBenchmark((encode + " | ISA-L ec_encode_data").c_str(), encodeIsal, k, m);
    benchmark::RegisterBenchmark((encode + " scalar").c_str(), encodeOurs, k, m, GfPath::Scalar);
    const std::string cached = "FEC decode " + shape + " repeated pattern";
    benchmark::RegisterBenchmark(cached.c_str(), decodeOurs, k, m, true);
    benchmark::RegisterBenchmark((cached + " | ISA-L ec_encode_data").c_str(), decodeIsal, k, m,
                                 true);
    const std::string fresh = "FEC decode " + shape + " new pattern";
    benchmark::RegisterBenchmark(fresh.c_str(), decodeOurs, k, m, false);
    benchmark::RegisterBenchmark((fresh + " | ISA-L invert+ec_encode_data").c_str(), decodeIsal, k,
                                 m, false);
}

const int registered = [] {
    registerShape(48, 24);
    registerShape(10, 2);
    return 0;
}();

}  // namespace
