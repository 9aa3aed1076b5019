// A real zip reader (libzip) reads an archive that Python's zipfile wrote, sealed by sealpack,
// through the FILE* over a SealedReader: it reads the directory at the end first, then each
// member at its offset, as libtorch and numpy read their zip archives.

#include <gtest/gtest.h>
#include <zip.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "sealcore/sealed_reader.h"
#include "tests/support/random_bytes.h"
#include "tests/support/run_process.h"

namespace {

struct StreamSource {
    std::FILE* file;
    zip_int64_t size;
    zip_error_t error;
};

// libzip's own FILE* source asks the system for the stream's descriptor, which a FILE* over a
// reader has not; this one reads, seeks and tells through the FILE* alone.
zip_int64_t ThroughStream(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto* s = static_cast<StreamSource*>(state);
    switch (cmd) {
        case ZIP_SOURCE_OPEN:
            return fseeko(s->file, 0, SEEK_SET) == 0 ? 0 : -1;
        case ZIP_SOURCE_READ: {
            const std::size_t got = std::fread(data, 1, len, s->file);
            return std::ferror(s->file) ? -1 : static_cast<zip_int64_t>(got);
        }
        case ZIP_SOURCE_SEEK: {
            const zip_int64_t to = zip_source_seek_compute_offset(
                static_cast<zip_uint64_t>(ftello(s->file)), static_cast<zip_uint64_t>(s->size),
                data, len, &s->error);
            return to < 0 || fseeko(s->file, to, SEEK_SET) != 0 ? -1 : 0;
        }
        case ZIP_SOURCE_TELL:
            return ftello(s->file);
        case ZIP_SOURCE_STAT: {
            auto* stat = static_cast<zip_stat_t*>(data);
            zip_stat_init(stat);
            stat->size = static_cast<zip_uint64_t>(s->size);
            stat->valid |= ZIP_STAT_SIZE;
            return sizeof *stat;
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&s->error, data, len);
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(
                ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                ZIP_SOURCE_ERROR, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS,
                ZIP_SOURCE_FREE, -1);
        default:
            return 0;
    }
}

TEST(SealedReaderZip, LibzipReadsEveryStoredAndDeflatedMember) {
    test_support::TempDir dir;
    // Random bytes do not deflate; repeated text does.
    std::vector<std::string> members = {test_support::random_bytes(3 << 20, 1), "",
                                        std::string(200000, 'z') + "end",
                                        test_support::random_bytes(70001, 2)};
    for (std::size_t i = 0; i < members.size(); ++i) {
        test_support::write_file(dir.file("m" + std::to_string(i)), members[i]);
    }
    const std::string zip_path = dir.file("archive.zip");
    const test_support::ProcessResult zipped = test_support::run_process(
        {PYTHON3, "-c",
         "import sys, zipfile\n"
         "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
         "    for i, name in enumerate(sys.argv[2:]):\n"
         "        method = zipfile.ZIP_DEFLATED if i % 2 else zipfile.ZIP_STORED\n"
         "        z.write(name, 'member%d' % i, compress_type=method)\n",
         zip_path, dir.file("m0"), dir.file("m1"), dir.file("m2"), dir.file("m3")});
    ASSERT_EQ(zipped.status, 0) << zipped.err;
    const std::string sealed_path = dir.file("archive.sealed");
    const test_support::ProcessResult sealed = test_support::run_process(
        {std::string(TOOL_DIR) + "/sealpack", "-i", zip_path, "-f", sealed_path});
    ASSERT_EQ(sealed.status, 0) << sealed.err;

    util_ko::SealedReader reader = util_ko::OpenSealedFile(sealed_path.c_str(), "");
    const auto size = static_cast<zip_int64_t>(reader.size());
    std::FILE* file = util_ko::OpenReaderStream(std::move(reader));
    ASSERT_NE(file, nullptr);
    StreamSource stream{file, size, {}};
    zip_error_init(&stream.error);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_function_create(ThroughStream, &stream, &error);
    ASSERT_NE(source, nullptr) << zip_error_strerror(&error);
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    ASSERT_NE(archive, nullptr) << zip_error_strerror(&error);
    ASSERT_EQ(zip_get_num_entries(archive, 0), static_cast<zip_int64_t>(members.size()));
    for (std::size_t i = 0; i < members.size(); ++i) {
        zip_stat_t stat;
        ASSERT_EQ(zip_stat_index(archive, i, 0, &stat), 0);
        EXPECT_EQ(stat.comp_method, i % 2 != 0 ? ZIP_CM_DEFLATE : ZIP_CM_STORE);
        zip_file_t* member = zip_fopen_index(archive, i, 0);
        ASSERT_NE(member, nullptr) << zip_strerror(archive);
        std::string bytes(members[i].size() + 1, '\0');
        const zip_int64_t got = zip_fread(member, &bytes[0], bytes.size());
        ASSERT_EQ(got, static_cast<zip_int64_t>(members[i].size())) << "member " << i;
        bytes.resize(static_cast<std::size_t>(got));
        EXPECT_TRUE(bytes == members[i]) << "member " << i;
        zip_fclose(member);
    }
    zip_close(archive);
    zip_error_fini(&error);
    zip_error_fini(&stream.error);
    std::fclose(file);
}

}  // namespace
