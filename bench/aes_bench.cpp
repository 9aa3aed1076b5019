#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <string>

#include "sealcore/aes256.h"
#include "sealcore/aes256_base.h"

namespace {

using util_ko::AES256;
using util_ko::AES256_Base;
using util_ko::Byte_Block;
using util_ko::Padding_Type;

const std::string kKey = "0123456789abcdef0123456789ABCDEF";

std::string payload(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>(i * 131 + (i >> 9));
    }
    return s;
}

// The configuration the sealing tool and the unsealing interface use.
void BM_AES256_CBC_Encrypt(benchmark::State& state) {
    const std::string data = payload(static_cast<std::size_t>(state.range(0)));
    AES256 aes(kKey, AES256::CBC, Padding_Type::ISO_7816_4);
    for (auto _ : state) {
        benchmark::DoNotOptimize(aes.encrypt(data, false));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_AES256_CBC_Decrypt(benchmark::State& state) {
    AES256 aes(kKey, AES256::CBC, Padding_Type::ISO_7816_4);
    const std::string cipher =
        aes.encrypt(payload(static_cast<std::size_t>(state.range(0))), false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(aes.decrypt(cipher, false));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_AES256_Base_EncryptBlock(benchmark::State& state) {
    const AES256_Base cipher(kKey);
    Byte_Block<16> block;
    for (auto _ : state) {
        cipher.encrypt(block);
        benchmark::DoNotOptimize(block.m_data);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16);
}

void BM_AES256_Base_DecryptBlock(benchmark::State& state) {
    const AES256_Base cipher(kKey);
    Byte_Block<16> block;
    for (auto _ : state) {
        cipher.decrypt(block);
        benchmark::DoNotOptimize(block.m_data);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16);
}

// libcrypto's CBC on the same data, as the yardstick.
void BM_OpenSSL_CBC(benchmark::State& state, int encrypt) {
    const std::string data = payload(static_cast<std::size_t>(state.range(0)));
    std::string out(data.size() + 16, '\0');
    const unsigned char iv[16] = {0};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        int len = 0;
        EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr,
                          reinterpret_cast<const unsigned char*>(kKey.data()), iv, encrypt);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(&out[0]), &len,
                         reinterpret_cast<const unsigned char*>(data.data()),
                         static_cast<int>(data.size()));
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_AES256_CBC_Encrypt)
    ->Arg(4 << 10)
    ->Arg(1 << 20)
    ->Arg(64 << 20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AES256_CBC_Decrypt)
    ->Arg(4 << 10)
    ->Arg(1 << 20)
    ->Arg(64 << 20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AES256_Base_EncryptBlock);
BENCHMARK(BM_AES256_Base_DecryptBlock);
BENCHMARK_CAPTURE(BM_OpenSSL_CBC, encrypt, 1)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OpenSSL_CBC, decrypt, 0)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
