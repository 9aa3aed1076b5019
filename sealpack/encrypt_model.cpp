// sealpack: seals one data file into a generated header and/or a bare data file.
//
// Sealing is AES-256-CBC with ISO 7816-4 padding (IV in front), then Base64, then type 1
// string confusion; `sealcore` undoes the same layers at run time.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "sealcore/encrypt_api.h"
#include "sealcore/internal/open_source.h"
#include "sealcore/internal/replace_file.h"
#include "sealcore/internal/sealer.h"
#include "sealcore/seal.h"
#include "sealcore/str_confuse.h"

namespace {

const std::size_t kKeyLength = 32;
const char kKeyPrompt[] = "copy this key to decrypt module: ";

// A header holds the sealed text as one string literal, which the unsealing handle counts in a
// signed 32-bit int. Sealed text is 6 * ceil(c / 3) characters for c bytes of cipher output,
// and c = 16 + 16 * (n / 16 + 1) for n input bytes, which keeps the sealed text below 2^31 up to
// this input size. A data file (-f alone) has no limit.
const std::uint64_t kMaxHeaderInput = 1073741791;

// GCC refuses a string literal of 256 MiB or more.
const std::uint64_t kCompilerLiteralLimit = std::uint64_t(1) << 28;

// `holds` is a byte count, or "more than <limit>" for a source whose size was not known.
std::runtime_error TooLarge(const std::string& path, const std::string& holds) {
    return std::runtime_error("input too large: " + path + " holds " + holds + " bytes, at most " +
                              std::to_string(kMaxHeaderInput) +
                              " bytes can be sealed into a header; seal it with -f alone, or "
                              "with sealcore_seal_embed in a CMake build");
}

// The input, opened with the file helper's messages and read slice by slice.
class Input {
  public:
    explicit Input(const std::string& path)
        : m_path(path), m_source(sealcore_internal::open_source(path.c_str())) {}
    ~Input() { std::fclose(m_source.file); }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // The size found when it was opened; 0 when it has none (a pipe, a device).
    std::uint64_t size() const { return m_source.size; }
    // A character device (/dev/zero, a terminal) need never end.
    bool endless() const { return m_source.character_device; }

    // Fills `out` with up to `n` bytes; fewer only where the input ends.
    std::size_t read(char* out, std::size_t n) {
        const std::size_t got = std::fread(out, 1, n, m_source.file);
        if (got < n && std::ferror(m_source.file)) {
            throw std::runtime_error("cannot read " + m_path + ": " + std::strerror(errno));
        }
        return got;
    }

  private:
    std::string m_path;
    sealcore_internal::OpenedSource m_source;
};

// One output file, written by replacement so that a failed run leaves an existing file (the
// input too, when it names an output) as it was. The first failure is kept and reported when
// the output is finished, so that the messages come in the order of the outputs.
class Output {
  public:
    explicit Output(const std::string& path) : m_path(path) {
        m_file = sealcore_internal::replace_open(&m_target, path.c_str());
        if (m_file == nullptr) {
            m_error = errno;
        }
    }
    ~Output() {
        if (m_file != nullptr) {
            sealcore_internal::replace_close(&m_target, false);
        }
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void Write(std::string_view bytes) {
        if (m_error == 0 && std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size()) {
            m_error = errno;
        }
    }
    void Write(const char* text) { Write(std::string_view(text)); }

    // Puts the new file in the target's place, or with `keep` false leaves the target as it
    // was. A failed close or rename counts too, since buffered bytes reach the disk only at the
    // close.
    bool Finish(bool keep) {
        if (m_file != nullptr) {
            const bool written = keep && m_error == 0;
            if (sealcore_internal::replace_close(&m_target, written) != 0 && written) {
                m_error = errno;
            }
            m_file = nullptr;
        }
        if (keep && m_error != 0) {
            std::cerr << "cannot write " << m_path << ": " << std::strerror(m_error) << '\n';
        }
        return keep && m_error == 0;
    }

  private:
    std::string m_path;
    sealcore_internal::ReplacedFile m_target;
    std::FILE* m_file = nullptr;
    int m_error = 0;
};

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
    } else if (!sealcore_internal::key_travels(key)) {
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
    return sealcore_internal::escape_literal(text);
}

namespace {

// Seals the input slice by slice into the outputs that are named. Returns false when an output
// could not be written (after reporting it); throws when the input cannot be read or is too
// large for a header, and then replaces nothing.
bool SealInto(const std::string& input_path, const std::string& key, const std::string& header_path,
              const std::string& data_path, const std::string& key_literal) {
    Input input(input_path);
    const bool header = !header_path.empty();
    if (header && input.size() > kMaxHeaderInput) {
        throw TooLarge(input_path, std::to_string(input.size()));
    }
    // Only a header's limit would end it: a data file would grow until the disk is full.
    if (!header && input.endless()) {
        throw std::runtime_error("input has no end: " + input_path +
                                 " is a character device; seal a file or a pipe");
    }
    std::unique_ptr<Output> header_out(header ? new Output(header_path) : nullptr);
    std::unique_ptr<Output> data_out(data_path.empty() ? nullptr : new Output(data_path));
    if (header_out) {
        header_out->Write(
            "// THIS IS AUTO GENERATE CODE, PLEASE DO NOT MODIFY!\n"
            "#include<string>\n"
            "std::string model_str = \"");
    }
    sealcore_internal::Sealer sealer(key);
    std::unique_ptr<char[]> plain(new char[sealcore_internal::kPlainSlice]);
    std::uint64_t total = 0;
    std::uint64_t literal = 0;
    for (bool last = false; !last;) {
        const std::size_t got = input.read(plain.get(), sealcore_internal::kPlainSlice);
        last = got < sealcore_internal::kPlainSlice;
        total += got;
        if (header && total > kMaxHeaderInput) {
            throw TooLarge(input_path, "more than " + std::to_string(kMaxHeaderInput));
        }
        const std::string_view sealed = sealer.Seal(plain.get(), got, last);
        if (header_out) {
            const std::string escaped = TransferMeaning(std::string(sealed));
            literal += escaped.size();
            header_out->Write(escaped);
        }
        if (data_out) {
            data_out->Write(sealed);
        }
    }
    bool ok = true;
    if (header_out) {
        header_out->Write("\";\nstd::string key = \"");
        header_out->Write(key_literal);
        header_out->Write("\";\n");
        ok = header_out->Finish(true);
        if (literal >= kCompilerLiteralLimit) {
            std::cerr << "warning: the string literal in " << header_path << " holds " << literal
                      << " characters; GCC refuses string literals of 256 MiB or more, so seal "
                         "this input with -f, or with sealcore_seal_embed in a CMake build\n";
        }
    }
    if (data_out) {
        ok = data_out->Finish(true) && ok;
        std::cout << kKeyPrompt << key_literal << '\n';
    }
    return ok;
}

// The literal printed after -f and written into the header's key line.
std::string KeyLiteral(const std::string& key, bool key_given) {
    util_ko::StrConfuse confuse;
    return key_given ? TransferMeaning(confuse.ConfuseStr(key, util_ko::CONFUSE_TYPE_1)) : "";
}

// Whether the file helper would find no size when it opens `path` (an empty file, a pipe, a
// device), which it warns of. Looked up before sealing, since the output may replace the input.
bool Sizeless(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
        return false;
    }
    if (S_ISREG(info.st_mode)) {
        return info.st_size == 0;
    }
    if (!S_ISBLK(info.st_mode)) {
        return true;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const off_t end = lseek(fd, 0, SEEK_END);
    close(fd);
    return end <= 0;
}

// A data file alone is sealed by the library, with the messages that SealInto and the file
// helper give for the same failures. Returns the exit status.
int SealDataFile(const std::string& input_path, const std::string& data_path,
                 const std::string& key, bool key_given) {
    const bool sizeless = Sizeless(input_path);
    // The warning of a file that was opened.
    const auto warn = [sizeless] {
        if (sizeless) {
            std::cout << "WARNING: read an empty file\n" << std::flush;
        }
    };
    std::string key_literal;
    try {
        key_literal = util_ko::SealFile(input_path.c_str(), data_path.c_str(),
                                        key_given ? key.c_str() : nullptr);
    } catch (const char* text) {
        const int error = errno;
        if (std::strcmp(text, "fail to open file to read") == 0) {
            std::cout << input_path << '\n' << std::flush;
            std::cerr << text << '\n';
            return 1;
        }
        warn();
        if (std::strcmp(text, "fail to write file") == 0) {
            std::cerr << "cannot write " << data_path << ": " << std::strerror(error) << '\n';
            std::cout << kKeyPrompt << KeyLiteral(key, key_given) << '\n';
        } else if (std::strcmp(text, "not a data file") == 0) {
            std::cerr << "input has no end: " << input_path
                      << " is a character device; seal a file or a pipe\n";
        } else if (std::strcmp(text, "fail to read file") == 0) {
            std::cerr << "cannot read " << input_path << ": " << std::strerror(error) << '\n';
        } else {
            std::cerr << text << '\n';
        }
        return 1;
    } catch (const std::exception& e) {
        warn();
        std::cerr << e.what() << '\n';
        return 1;
    }
    warn();
    std::cout << kKeyPrompt << key_literal << '\n';
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 1) {
        showHelpMsg();
        return 0;
    }
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

    // The outputs are written by replacement as the slices are sealed: a run that fails or is
    // stopped leaves every existing file as it was. A header is sealed here, beside a data file
    // when both are asked for, so that the input is read once.
    if (header_path.empty() && !data_path.empty()) {
        return SealDataFile(input_path, data_path, key, key_given);
    }
    const std::string key_literal = KeyLiteral(key, key_given);
    bool ok = false;
    try {
        ok = SealInto(input_path, key, header_path, data_path, key_literal);
    } catch (const char* text) {
        std::cout.flush();
        std::cerr << text << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << e.what() << '\n';
        return 1;
    }
    return ok ? 0 : 1;
}
