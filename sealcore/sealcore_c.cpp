#include "sealcore/sealcore_c.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "sealcore/seal.h"
#include "sealcore/sealed_reader.h"
#include "sealcore/unseal.h"

struct sealcore_plain {
    util_ko::PlainBytes bytes;
};

struct sealcore_reader {
    util_ko::SealedReader reader;
};

namespace {

// The texts that the C++ calls throw, by code. The write failure is SealFile's own.
struct Message {
    int code;
    const char* text;
};
const Message kMessages[] = {
    {SEALCORE_OK, "no error"},
    {SEALCORE_ERROR_INVALID_KEY, "invalid key"},
    {SEALCORE_ERROR_BAD_LENGTH, "Length of string to decrypt is incorrect"},
    {SEALCORE_ERROR_BAD_PADDING, "Padding of string to decrypt is incorrect"},
    {SEALCORE_ERROR_OPEN, "fail to open file to read"},
    {SEALCORE_ERROR_READ, "fail to read file"},
    {SEALCORE_ERROR_NOT_DATA, "not a data file"},
    {SEALCORE_ERROR_NOT_SEEKABLE, "not a seekable file"},
    {SEALCORE_ERROR_CHANGED, "sealed file changed"},
    {SEALCORE_ERROR_WRITE, "fail to write file"},
    {SEALCORE_ERROR_OUT_OF_MEMORY, "out of memory"},
    {SEALCORE_ERROR_SYSTEM, "system error"},
    {SEALCORE_ERROR_NULL_POINTER, "null pointer"},
    {SEALCORE_ERROR_INVALID_ARGUMENT, "invalid argument"},
    {SEALCORE_ERROR_WRONG_KEY, "wrong key"},
    {SEALCORE_ERROR_DAMAGED, "sealed data damaged"},
    {SEALCORE_ERROR_UNSUPPORTED, "unsupported sealed format"},
};

// Never SEALCORE_OK: whatever was thrown is a failure.
int CodeOf(const char* text, int otherwise) {
    for (const Message& m : kMessages) {
        if (m.code != SEALCORE_OK && std::strcmp(m.text, text) == 0) {
            return m.code;
        }
    }
    return otherwise;
}

// The one place where exceptions stop: each kind the library throws becomes its code, with
// errno as the failing call left it (closing descriptors on the way out does not touch it).
// A failure that names no errno of its own gets one, so that a caller that turns SYSTEM into
// an OSError never shows a stale one.
template <class Call>
int Guard(Call&& call) noexcept {
    try {
        call();
        return SEALCORE_OK;
    } catch (const char* text) {
        // The memory forms' null text, which the checks below keep from the library.
        if (std::strcmp(text, "invalid sealed text") == 0) {
            return SEALCORE_ERROR_NULL_POINTER;
        }
        const int code = CodeOf(text, SEALCORE_ERROR_SYSTEM);
        if (code == SEALCORE_ERROR_SYSTEM) {
            errno = EIO;
        }
        return code;
    } catch (const std::invalid_argument& e) {
        return CodeOf(e.what(), SEALCORE_ERROR_INVALID_ARGUMENT);
    } catch (const std::length_error&) {
        // A size beyond what a string or an array can hold.
        errno = ENOMEM;
        return SEALCORE_ERROR_OUT_OF_MEMORY;
    } catch (const std::logic_error&) {
        // The null key, which the checks below keep from the library.
        return SEALCORE_ERROR_NULL_POINTER;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return SEALCORE_ERROR_OUT_OF_MEMORY;
    } catch (const std::system_error& e) {
        errno = e.code().category() == std::generic_category() ||
                        e.code().category() == std::system_category()
                    ? e.code().value()
                    : EIO;
        return SEALCORE_ERROR_SYSTEM;
    } catch (...) {
        errno = EIO;
        return SEALCORE_ERROR_SYSTEM;
    }
}

bool SealedTextMissing(const char* sealed, size_t size) {
    return sealed == nullptr && size > 0;
}

// The descriptor forms give -1 with errno set where the kernel gives no memory file.
int Descriptor(int* fd, int got) {
    if (got < 0) {
        return SEALCORE_ERROR_SYSTEM;
    }
    *fd = got;
    return SEALCORE_OK;
}

}  // namespace

const char* sealcore_error_message(int code) {
    for (const Message& m : kMessages) {
        if (m.code == code) {
            return m.text;
        }
    }
    return "unknown error";
}

int sealcore_unseal_file(sealcore_plain** plain, const char* path, const char* key,
                         unsigned threads) {
    if (plain == nullptr || path == nullptr || key == nullptr) {
        return SEALCORE_ERROR_NULL_POINTER;
    }
    return Guard([&] { *plain = new sealcore_plain{util_ko::UnsealFile(path, key, threads)}; });
}

int sealcore_unseal_memory(sealcore_plain** plain, const char* sealed, size_t size, const char* key,
                           unsigned threads) {
    if (plain == nullptr || SealedTextMissing(sealed, size) || key == nullptr) {
        return SEALCORE_ERROR_NULL_POINTER;
    }
    return Guard(
        [&] { *plain = new sealcore_plain{util_ko::UnsealMemory(sealed, size, key, threads)}; });
}

const char* sealcore_plain_data(const sealcore_plain* plain) {
    return plain != nullptr ? plain->bytes.data() : "";
}

size_t sealcore_plain_size(const sealcore_plain* plain) {
    return plain != nullptr ? plain->bytes.size() : 0;
}

void sealcore_plain_free(sealcore_plain* plain) {
    delete plain;
}

int sealcore_unseal_file_to_descriptor(int* fd, const char* path, const char* key,
                                       unsigned threads) {
    if (fd == nullptr || path == nullptr || key == nullptr) {
        return SEALCORE_ERROR_NULL_POINTER;
    }
    int code = SEALCORE_OK;
    const int guarded =
        Guard([&] { code = Descriptor(fd, util_ko::UnsealFileToDescriptor(path, key, threads)); });
    return guarded != SEALCORE_OK ? guarded : code;
}

int sealcore_unseal_memory_to_descriptor(int* fd, const char* sealed, size_t size, const char* key,
                                         unsigned threads) {
    if (fd == nullptr || SealedTextMissing(sealed, size) || key == nullptr) {
        return SEALCORE_ERROR_NULL_POINTER;
    }
    int code = SEALCORE_OK;
    const int guarded = Guard([&] {
        code = Descriptor(fd, util_ko::UnsealMemoryToDescriptor(sealed, size, key, threads));
    });
    return guarded != SEALCORE_OK ? guarded : code;
}

int sealcore_reader_open_file(sealcore_reader** reader, const char* path, const char* key) {
    if (reader == nullptr || path == nullptr || key == nullptr) {
        return SEALCORE_ERROR_NULL_POINTER;
    }
    return Guard([&] { *reader = new sealcore_reader{util_ko::OpenSealedFile(path, key)}; });
}

int sealcore_reader_open_memory(sealcore_reader** reader, const char* sealed, size_t size,
                                const char* key) {
    if (reader == nullptr || SealedTextMissing(sealed, size) || key == nullptr) {
        return SEALCORE_ERROR_NULL_POINTER;
    }
    return Guard(
        [&] { *reader = new sealcore_reader{util_ko::OpenSealedMemory(sealed, size, key)}; });
}

int sealcore_reader_size(const sealcore_reader* reader, uint64_t* size) {
    if (reader == nullptr || size == nullptr) {
        return SEALCORE_ERROR_NULL_POINTER;
    }
    *size = reader->reader.size();
    return SEALCORE_OK;
}

int sealcore_reader_read_at(const sealcore_reader* reader, uint64_t offset, void* out, size_t count,
                            size_t* read) {
    if (reader == nullptr || read == nullptr || (out == nullptr && count > 0)) {
        return SEALCORE_ERROR_NULL_POINTER;
    }
    // Past the end of the plain bytes reads nothing, wherever it lies.
    const size_t at =
        offset < reader->reader.size() ? static_cast<size_t>(offset) : reader->reader.size();
    return Guard([&] { *read = reader->reader.ReadAt(at, out, count); });
}

int sealcore_reader_open_stream(FILE** stream, sealcore_reader* reader) {
    std::unique_ptr<sealcore_reader> owned(reader);
    if (stream == nullptr || reader == nullptr) {
        return SEALCORE_ERROR_NULL_POINTER;
    }
    int code = SEALCORE_OK;
    const int guarded = Guard([&] {
        std::FILE* const opened = util_ko::OpenReaderStream(std::move(owned->reader));
        if (opened == nullptr) {
            code = errno == ENOMEM ? SEALCORE_ERROR_OUT_OF_MEMORY : SEALCORE_ERROR_SYSTEM;
        } else {
            *stream = opened;
        }
    });
    return guarded != SEALCORE_OK ? guarded : code;
}

void sealcore_reader_free(sealcore_reader* reader) {
    delete reader;
}

int sealcore_seal_file(const char* input, const char* output, const char* key, char* key_literal) {
    return sealcore_seal_file_flags(input, output, key, 0, 1, key_literal);
}

int sealcore_seal_file_flags(const char* input, const char* output, const char* key, unsigned flags,
                             unsigned threads, char* key_literal) {
    if (input == nullptr || output == nullptr) {
        return SEALCORE_ERROR_NULL_POINTER;
    }
    if ((flags & ~(SEALCORE_SEAL_AUTHENTICATED | SEALCORE_SEAL_DETERMINISTIC)) != 0) {
        return SEALCORE_ERROR_INVALID_ARGUMENT;
    }
    util_ko::SealOptions options;
    options.authenticated = (flags & SEALCORE_SEAL_AUTHENTICATED) != 0;
    options.deterministic = (flags & SEALCORE_SEAL_DETERMINISTIC) != 0;
    options.threads = threads;
    return Guard([&] {
        const std::string literal = util_ko::SealFile(input, output, key, options);
        if (key_literal != nullptr) {
            // The escaped form of 48 characters holds at most 96.
            static_assert(SEALCORE_KEY_LITERAL_SIZE > 96, "room for every key literal");
            std::memcpy(key_literal, literal.c_str(), literal.size() + 1);
        }
    });
}
