// Separate handles on separate threads. Every fetch constructs a cipher object, which writes the
// process-wide padding mode, so this test is also what the ThreadSanitizer build of .ci/run runs
// to show that sharing it is defined.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "sealcore/encrypt_wrapper.h"
#include "tests/support/random_bytes.h"
#include "tests/support/seal_oracle.h"

namespace {

const int kThreads = 4;
const int kRounds = 25;

std::string StreamBytes(FILE* stream) {
    std::string out;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stream)) > 0) {
        out.append(chunk, n);
    }
    std::fclose(stream);
    return out;
}

// What one thread unsealed, checked on the main thread.
struct Outcome {
    int buffers_right = 0;
    int streams_right = 0;
};

TEST(EncryptApiThreads, SeparateHandlesOnSeparateThreads) {
    // Each thread has its own data and key, so a result that crossed threads would show.
    std::vector<std::string> plains, sealed, keys;
    for (int t = 0; t < kThreads; ++t) {
        std::string aes_key = std::string(31, 'a' + t) + "!";
        plains.push_back(test_support::random_bytes(1000 + 37 * t, 40 + t));
        sealed.push_back(seal_oracle::Seal(plains[t], aes_key, "0123456789abcdef", t % 2, t));
        keys.push_back(seal_oracle::Confuse(aes_key, t % 2, t));
    }
    std::vector<Outcome> outcomes(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                void* handle = CreateEncryptor(sealed[t].data(), static_cast<int>(sealed[t].size()),
                                               keys[t].c_str());
                int size = 0;
                const char* buffer = FetchBuffer(handle, size);
                outcomes[t].buffers_right += std::string(buffer, size) == plains[t];
                FILE* stream = FetchFile(handle);
                outcomes[t].streams_right += stream != nullptr && StreamBytes(stream) == plains[t];
                DestroyEncrtptor(handle);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(outcomes[t].buffers_right, kRounds) << "thread " << t;
        EXPECT_EQ(outcomes[t].streams_right, kRounds) << "thread " << t;
    }
}

}  // namespace
