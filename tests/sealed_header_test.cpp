// Headers and a data file that sealpack generated while this test was built, unsealed here and
// compared with the files they were made from.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sealcore/encrypt_wrapper.h"
#include "tests/support/run_process.h"

// Each generated header defines `model_str` and `key` at the point of inclusion; a namespace
// per header keeps them apart (<string> is already included, so its include is empty here).
namespace empty_no_key {
#include "sealed_empty.h"
}
namespace one_own_key {
#include "sealed_one.h"
}
namespace sixteen_escaping_key {
#include "sealed_sixteen.h"
}
namespace nul_bytes_no_key {
#include "sealed_nul_bytes.h"
}
namespace fifteen_data_file {
#include "sealed_fifteen_key.h"
}

namespace {

std::string Original(const char* name) {
    return test_support::read_file(std::string(TEST_DATA_DIR) + "/seal/" + name);
}

std::string ReadStream(FILE* stream) {
    std::string out;
    int c;
    while ((c = std::fgetc(stream)) != EOF) {
        out += static_cast<char>(c);
    }
    std::fclose(stream);
    return out;
}

TEST(SealedAtBuildTime, HeadersUnsealToTheirInputs) {
    struct Case {
        const char* input;
        const std::string& model;
        const std::string& key;
        bool key_empty;
    };
    const Case cases[] = {
        {"empty.bin", empty_no_key::model_str, empty_no_key::key, true},
        {"one.bin", one_own_key::model_str, one_own_key::key, false},
        {"sixteen.bin", sixteen_escaping_key::model_str, sixteen_escaping_key::key, false},
        {"nul_bytes.bin", nul_bytes_no_key::model_str, nul_bytes_no_key::key, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(c.key.empty(), c.key_empty);
        void* handle =
            CreateEncryptor(c.model.data(), static_cast<int>(c.model.size()), c.key.c_str());
        int size = 0;
        char* buffer = FetchBuffer(handle, size);
        EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(size)), Original(c.input));
        EXPECT_EQ(ReadStream(FetchFile(handle)), Original(c.input));
        DestroyEncrtptor(handle);
    }
}

TEST(SealedAtBuildTime, DataFileUnsealsWithTheGeneratedKey) {
    EXPECT_EQ(fifteen_data_file::data_key.size(), 48u);
    void* handle = CreateEncryptor(SEALED_DATA_FILE, fifteen_data_file::data_key.c_str());
    EXPECT_EQ(ReadStream(FetchFile(handle)), Original("fifteen.bin"));
    int size = 0;
    char* buffer = FetchBuffer(handle, size);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(size)), Original("fifteen.bin"));
    DestroyEncrtptor(handle);
}

}  // namespace
