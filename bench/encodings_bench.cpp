#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <string>

#include "sealcore/base64.h"
#include "sealcore/str_confuse.h"

namespace {

// A sealed model of 64 MiB is where the speed of the encodings matters.
constexpr std::size_t kModelBytes = std::size_t{64} << 20;

const std::string& model_bytes() {
    static const std::string bytes = [] {
        std::mt19937_64 rng(64);
        std::string s(kModelBytes, '\0');
        for (std::size_t i = 0; i < s.size(); i += 8) {
            const std::uint64_t v = rng();
            for (int k = 0; k < 8; ++k) {
                s[i + k] = static_cast<char>(v >> (8 * k));
            }
        }
        return s;
    }();
    return bytes;
}

const std::string& model_base64() {
    static const std::string text =
        util_ko::CBase64().Encode(model_bytes().data(), static_cast<int>(model_bytes().size()));
    return text;
}

const std::string& model_confused() {
    static const std::string text =
        util_ko::StrConfuse().ConfuseStr(model_base64(), util_ko::CONFUSE_TYPE(0));
    return text;
}

void BM_Base64Encode(benchmark::State& state) {
    const std::string& in = model_bytes();
    for (auto _ : state) {
        benchmark::DoNotOptimize(util_ko::CBase64().Encode(in.data(), static_cast<int>(in.size())));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

void BM_Base64Decode(benchmark::State& state) {
    const std::string& in = model_base64();
    for (auto _ : state) {
        benchmark::DoNotOptimize(util_ko::CBase64().Decode(in.data(), static_cast<int>(in.size())));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

void BM_OpenSslEncodeBlock(benchmark::State& state) {
    const std::string& in = model_bytes();
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                                 reinterpret_cast<const unsigned char*>(in.data()),
                                                 static_cast<int>(in.size())));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

void BM_OpenSslDecodeBlock(benchmark::State& state) {
    const std::string& in = model_base64();
    std::string out(in.size() / 4 * 3, '\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                                 reinterpret_cast<const unsigned char*>(in.data()),
                                                 static_cast<int>(in.size())));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

void BM_Confuse(benchmark::State& state) {
    const std::string& in = model_base64();
    for (auto _ : state) {
        benchmark::DoNotOptimize(util_ko::StrConfuse().ConfuseStr(in, util_ko::CONFUSE_TYPE(0)));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

void BM_Deconfuse(benchmark::State& state) {
    const std::string& in = model_confused();
    for (auto _ : state) {
        benchmark::DoNotOptimize(util_ko::StrConfuse().DeconfuseStr(in, util_ko::CONFUSE_TYPE(0)));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

// The buffer forms the unsealing handle uses, into memory that is already mapped: the codecs
// without the cost of faulting in a fresh result.
void BM_Base64DecodeInto(benchmark::State& state) {
    const std::string& in = model_base64();
    std::string out(in.size() / 4 * 3 + 2, '\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            util_ko::CBase64().Decode(in.data(), static_cast<int>(in.size()), &out[0]));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

void BM_DeconfuseInto(benchmark::State& state) {
    const std::string& in = model_confused();
    std::string out(2 * (in.size() / 3) + 1, '\0');
    for (auto _ : state) {
        benchmark::DoNotOptimize(util_ko::StrConfuse().DeconfuseStrType1(
            in.data(), static_cast<int>(in.size()), &out[0]));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

}  // namespace

BENCHMARK(BM_Base64Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslEncodeBlock)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslDecodeBlock)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Confuse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Deconfuse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Base64DecodeInto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeconfuseInto)->Unit(benchmark::kMillisecond);
