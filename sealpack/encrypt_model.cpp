// sealpack: seals one data file into a generated header and/or a bare data file.
//
// Sealing is AES-256-CBC with ISO 7816-4 padding (IV in front), then Base64, then type 1
// string confusion; `sealcore` undoes the same layers at run time.

#include <malloc.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>

#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/encrypt_api.h"
#include "sealcore/file_helper.h"
#include "sealcore/replace_file.h"
#include "sealcore/str_confuse.h"

namespace {

const std::size_t kKeyLength = 32;

// The unsealing side counts the sealed text in a signed 32-bit int. Sealed text is
// 6 * ceil(c / 3) characters for c bytes of cipher output, and c = 16 + 16 * (n / 16 + 1)
// for n input bytes, which keeps the sealed text below 2^31 up to this input size.
const std::uintmax_t kMaxInputSize = 1073741791;

// Escaping works byte by byte, so the sealed text can be escaped and written in slices
// without ever holding a second full-size copy.
const std::size_t kWriteSlice = 1 << 20;

// A key only unseals when its bytes come back from confusion and deconfusion, and its
// confused form must fit on one line of a string literal that is read up to its first NUL.
bool KeyTravels(const std::string& key) {
    util_ko::StrConfuse confuse;
    std::string confused = confuse.ConfuseStr(key, util_ko::CONFUSE_TYPE_1);
    if (confuse.DeconfuseStr(confused, util_ko::CONFUSE_TYPE_1) != key) {
        return false;
    }
    return confused.find_first_of(std::string("\n\r\0", 3)) == std::string::npos;
}

// The characters that a string literal cannot hold as they are.
bool NeedsEscape(char c) {
    return c == '"' || c == '\\' || c == '?' || c == '\'';
}

void ReportWriteError(const std::string& path, int error) {
    std::cerr << "cannot write " << path << ": " << std::strerror(error) << '\n';
}

// Opens an output for writing by replacement, so that a failed run leaves an existing file (the
// input too, when it names an output) as it was.
FILE* StartWrite(sealcore_internal::ReplacedFile* target, const std::string& path) {
    FILE* file = sealcore_internal::replace_open(target, path.c_str());
    if (file == nullptr) {
        ReportWriteError(path, errno);
    }
    return file;
}

// Ends a write with `ok` telling whether every write succeeded; a failed close or rename counts
// too, since buffered bytes reach the disk only at the close.
bool FinishWrite(sealcore_internal::ReplacedFile* target, bool ok, const std::string& path) {
    int write_error = ok ? 0 : errno;
    if (sealcore_internal::replace_close(target, ok) != 0 && ok) {
        ok = false;
        write_error = errno;
    }
    if (!ok) {
        ReportWriteError(path, write_error);
    }
    return ok;
}

}  // namespace

void showHelpMsg() {
    std::cout << "Usage: ./sealpack -i input_file_to_be_encrypted -o output_cpp_header\n"
              << "\t-i File to be encrypt.\n"
              << "\t-k Random key added to encrypt the data.\n"
              << "\t-o Generate cpp header.\n"
              << "\t-f Generate encrypted data only.\n";
}

bool AssertKey(const std::string& key) {
    const char* problem = nullptr;
    if (key.size() != kKeyLength) {
        problem = "invalid key, key must be of length 32";
    } else if (!KeyTravels(key)) {
        problem = "invalid key, key does not survive confusion; use printable ASCII characters";
    }
    if (problem != nullptr) {
        std::cout << key << '\n' << problem << '\n';
        std::cout.flush();
        std::exit(255);
    }
    return true;
}

std::string TransferMeaning(const std::string& text) {
    // Counted first, so that the result is allocated once at its final size.
    std::size_t escapes = 0;
    for (char c : text) {
        escapes += NeedsEscape(c) ? 1 : 0;
    }
    std::string escaped(text.size() + escapes, '\\');
    char* out = &escaped[0];
    for (char c : text) {
        out += NeedsEscape(c) ? 1 : 0;
        *out++ = c;
    }
    return escaped;
}

namespace {

// `holds` is a byte count, or "more than <limit>" for a source read only until it passed the
// limit.
std::runtime_error TooLarge(const std::string& path, const std::string& holds) {
    return std::runtime_error("input too large: " + path + " holds " + holds + " bytes, at most " +
                              std::to_string(kMaxInputSize) + " bytes can be sealed");
}

std::string Seal(util_ko::StrConfuse& confuse, const std::string& input_path,
                 const std::string& key) {
    // Refuse an oversized regular file before reading it; a path whose size cannot be found
    // is left to the file helper to report.
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(input_path, error);
    if (!error && size > kMaxInputSize) {
        throw TooLarge(input_path, std::to_string(size));
    }
    // Each form is dropped as soon as the next one exists, to keep the peak memory down; the
    // cipher reads the file helper's bytes where they are.
    std::string cipher_text;
    {
        util_ko::FileHelper plain;
        // A source of unknown size (a pipe, /dev/zero) is read only until it passes the limit.
        if (plain.ReadFile(input_path.c_str(), static_cast<long>(kMaxInputSize)) < 0) {
            throw TooLarge(input_path, "more than " + std::to_string(kMaxInputSize));
        }
        const std::size_t plain_size = static_cast<std::size_t>(plain.GetFileSize());
        util_ko::AES256 cipher(key, util_ko::AES256::CBC, util_ko::Padding_Type::ISO_7816_4);
        cipher_text.resize(plain_size + 32);
        cipher_text.resize(cipher.encrypt(plain.GetData(), plain_size, &cipher_text[0], false));
    }
    std::string base64_text;
    {
        util_ko::CBase64 base64;
        base64_text = base64.Encode(cipher_text.data(), static_cast<int>(cipher_text.size()));
    }
    std::string().swap(cipher_text);
    return confuse.ConfuseStr(base64_text, util_ko::CONFUSE_TYPE_1);
}

bool WriteHeader(const std::string& path, const std::string& sealed,
                 const std::string& key_literal) {
    sealcore_internal::ReplacedFile target;
    FILE* file = StartWrite(&target, path);
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fputs(
                  "// THIS IS AUTO GENERATE CODE, PLEASE DO NOT MODIFY!\n"
                  "#include<string>\n"
                  "std::string model_str = \"",
                  file) >= 0;
    for (std::size_t offset = 0; ok && offset < sealed.size(); offset += kWriteSlice) {
        std::string slice = TransferMeaning(sealed.substr(offset, kWriteSlice));
        ok = std::fwrite(slice.data(), 1, slice.size(), file) == slice.size();
    }
    ok = ok && std::fputs("\";\nstd::string key = \"", file) >= 0;
    ok = ok && std::fwrite(key_literal.data(), 1, key_literal.size(), file) == key_literal.size();
    ok = ok && std::fputs("\";\n", file) >= 0;
    return FinishWrite(&target, ok, path);
}

bool WriteData(const std::string& path, const std::string& sealed) {
    sealcore_internal::ReplacedFile target;
    FILE* file = StartWrite(&target, path);
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fwrite(sealed.data(), 1, sealed.size(), file) == sealed.size();
    return FinishWrite(&target, ok, path);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 1) {
        showHelpMsg();
        return 0;
    }
#ifdef M_MMAP_THRESHOLD
    // The forms of a large input are each allocated whole and released once the next exists.
    // Served from the heap and kept there, a released form's pages are reused by a later one
    // instead of going back to the kernel and being faulted in afresh.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
    util_ko::StrConfuse confuse;

    std::string key;
    bool key_given = false;
    std::string input_path;
    std::string header_path;
    std::string data_path;
    // One position at a time: an option's value is itself looked at as an option name next,
    // and the last argument never names an option, since it could have no value.
    for (int i = 1; i < argc - 1; ++i) {
        std::string arg = argv[i];
        if (arg == "-i") {
            input_path = argv[i + 1];
        } else if (arg == "-k") {
            key = argv[i + 1];
            key_given = true;
        } else if (arg == "-f") {
            data_path = argv[i + 1];
        } else if (arg == "-o") {
            header_path = argv[i + 1];
        }
    }

    if (key.empty()) {
        key = confuse.DeconfuseStr(util_ko::kDefaultConfusedKey, util_ko::CONFUSE_TYPE_1);
    }
    AssertKey(key);

    // No output file is opened before the sealing is complete.
    std::string sealed;
    std::string key_literal;
    try {
        sealed = Seal(confuse, input_path, key);
        if (key_given) {
            key_literal = TransferMeaning(confuse.ConfuseStr(key, util_ko::CONFUSE_TYPE_1));
        }
    } catch (const char* text) {
        std::cout.flush();
        std::cerr << text << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << e.what() << '\n';
        return 1;
    }

    bool ok = true;
    if (!header_path.empty()) {
        ok = WriteHeader(header_path, sealed, key_literal) && ok;
    }
    if (!data_path.empty()) {
        ok = WriteData(data_path, sealed) && ok;
        std::cout << "copy this key to decrypt module: " << key_literal << '\n';
    }
    return ok ? 0 : 1;
}
