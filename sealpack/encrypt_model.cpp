// sealpack: seals one data file into a generated header and/or a bare data file.
//
// Sealing is AES-256-CBC with ISO 7816-4 padding (IV in front), then Base64, then type 1
// string confusion; `sealcore` undoes the same layers at run time.

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "sealcore/encrypt_api.h"
#include "sealcore/internal/open_source.h"
#include "sealcore/internal/replace_file.h"
#include "sealcore/internal/sealed_format.h"
#include "sealcore/internal/sealer.h"
#include "sealcore/seal.h"
#include "sealcore/sealed_reader.h"
#include "sealcore/str_confuse.h"
#include "sealcore/unseal.h"

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
              << "\t-f Generate encrypted data only.\n"
              << "\t-a Seal in the authenticated format (with -f only): the data file at the "
                 "input's size, every byte checked when unsealed.\n"
              << "\t--deterministic With -a: the same input and key seal to the same bytes.\n"
              << "\t-t N Threads sealing the authenticated format (0: every core; default 1).\n"
              << "\t--key-file PATH Read the 32-character key from PATH (- for standard "
                 "input), one trailing line feed removed.\n"
              << "\t--check FILE Verify a sealed file of either format with the key given, "
                 "writing no plain byte.\n"
              << "\t--help Print this text.\n";
}

// What is wrong with a key for sealing, or null when it is good.
const char* KeyProblem(const std::string& key) {
    if (key.size() != kKeyLength) {
        return "invalid key, key must be of length 32";
    }
    if (!sealcore_internal::key_travels(key)) {
        return "invalid key, key does not survive confusion; use printable ASCII characters";
    }
    return nullptr;
}

// Prints the key and what is wrong with it and exits with 255, unless it is good.
bool AssertKey(const std::string& key) {
    if (const char* problem = KeyProblem(key)) {
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
                 const std::string& key, bool key_given, const util_ko::SealOptions& options) {
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
                                        key_given ? key.c_str() : nullptr, options);
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
        } else if (std::strcmp(text, "not a seekable file") == 0) {
            std::cerr << "cannot seal " << input_path
                      << " with -a: the header holds the plain size before the first segment, "
                         "so the input must be a regular file, not a pipe\n";
        } else if (std::strcmp(text, "sealed file changed") == 0) {
            std::cerr << "input changed while it was sealed: " << input_path << '\n';
        } else {
            std::cerr << text << '\n';
        }
        return 1;
    } catch (const std::system_error& e) {
        warn();
        std::cerr << "cannot draw random bytes for the salt: " << e.code().message() << '\n';
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

// Longer key files than this are not read on: no 32-character key with a line feed is near.
const std::size_t kKeyFileLimit = 4096;

// Bytes that hold a key, wiped when dropped.
struct KeyBytes {
    ~KeyBytes() { explicit_bzero(&text[0], text.size()); }
    std::string text;
};

// Reads the key file at `path` ("-": standard input) into `key`, one trailing "\n" or "\r\n"
// removed. Returns false after naming the file and the failure on standard error.
bool ReadKeyFile(const std::string& path, KeyBytes& key) {
    const bool standard_input = path == "-";
    const int fd = standard_input ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::cerr << "cannot read key file " << path << ": " << std::strerror(errno) << '\n';
        return false;
    }
    key.text.assign(kKeyFileLimit + 1, '\0');
    std::size_t got = 0;
    int error = 0;
    while (got < key.text.size()) {
        const ssize_t n = read(fd, &key.text[got], key.text.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (!standard_input) {
        close(fd);
    }
    if (error != 0) {
        std::cerr << "cannot read key file " << path << ": " << std::strerror(error) << '\n';
        return false;
    }
    if (got > 0 && key.text[got - 1] == '\n') {
        --got;
        if (got > 0 && key.text[got - 1] == '\r') {
            --got;
        }
    }
    // Shrunk in place, so that no copy of the key is left unwiped.
    explicit_bzero(&key.text[got], key.text.size() - got);
    key.text.resize(got);
    return true;
}

// AssertKey for a key read from a file: the same checks and exit status, but the key's text
// is never printed.
void AssertKeyFromFile(const std::string& key) {
    if (const char* problem = KeyProblem(key)) {
        std::cout << problem << '\n';
        std::cout.flush();
        std::exit(255);
    }
}

// The first bytes of the file at `path` (up to the authenticated format's header) and its
// size; throws the reader's messages for what cannot be opened or read.
std::vector<unsigned char> FileHead(const std::string& path, std::uint64_t& size) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    }
    struct stat info;
    std::vector<unsigned char> head(util_ko::detail::kHeaderSize);
    ssize_t got = -1;
    if (fstat(fd, &info) == 0) {
        do {
            got = pread(fd, head.data(), head.size(), 0);
        } while (got < 0 && errno == EINTR);
    }
    const int error = errno;
    close(fd);
    if (got < 0) {
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(error));
    }
    head.resize(static_cast<std::size_t>(got));
    size = static_cast<std::uint64_t>(info.st_size);
    return head;
}

// Reads every plain byte of an authenticated file through the reader, one segment at a time,
// into a scratch buffer that is wiped after: each read checks the tags it touches. Returns the
// plain size.
std::size_t VerifyAuthenticated(const std::string& path, const std::string& key_text,
                                std::size_t segment_size) {
    const util_ko::SealedReader reader = util_ko::OpenSealedFile(path.c_str(), key_text.c_str());
    std::unique_ptr<char[]> scratch(new char[segment_size]);
    struct Wipe {
        char* bytes;
        std::size_t size;
        ~Wipe() { explicit_bzero(bytes, size); }
    } wipe{scratch.get(), segment_size};
    for (std::size_t at = 0; at < reader.size();) {
        const std::size_t got = reader.ReadAt(at, scratch.get(), segment_size);
        if (got == 0) {
            throw std::runtime_error("the reader ended before the plain size");
        }
        at += got;
    }
    return reader.size();
}

// --check: verifies the sealed file at `path` under the key (`key_text` as the unsealing calls
// take it) without writing a plain byte anywhere. Returns the exit status.
int Check(const std::string& path, const std::string& key_text, unsigned threads) {
    try {
        std::uint64_t file_size = 0;
        const std::vector<unsigned char> head = FileHead(path, file_size);
        if (util_ko::detail::starts_with_magic(head.data(), head.size())) {
            const util_ko::detail::SegmentLayout layout =
                util_ko::detail::parse_header(head.data(), file_size);
            const std::size_t plain = VerifyAuthenticated(
                path, key_text, static_cast<std::size_t>(layout.segment_size()));
            std::cout << path << ": authenticated format, " << plain << " plain bytes, verified\n";
        } else {
            const util_ko::PlainBytes plain =
                util_ko::UnsealFile(path.c_str(), key_text.c_str(), threads);
            std::cout << path << ": sealed text, " << plain.size()
                      << " plain bytes, unsealed (no integrity check in this format)\n";
        }
    } catch (const char* text) {
        std::cerr << path << ": " << text << '\n';
        return 1;
    } catch (const std::exception& e) {
        std::cerr << path << ": " << e.what() << '\n';
        return 1;
    }
    return 0;
}

// Parses -t's value: a count of threads, 0 for every core.
bool ParseThreads(const std::string& text, unsigned& threads) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 10) {
        return false;
    }
    const unsigned long long value = std::stoull(text);
    if (value > std::numeric_limits<unsigned>::max()) {
        return false;
    }
    threads = static_cast<unsigned>(value);
    return true;
}

// An option that cannot run: the reason on standard error, status 1.
int Refuse(const char* reason) {
    std::cerr << reason << '\n';
    return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 1) {
        showHelpMsg();
        return 0;
    }
    util_ko::StrConfuse confuse;

    KeyBytes key_bytes;
    std::string& key = key_bytes.text;
    bool key_given = false;
    std::string input_path;
    std::string header_path;
    std::string data_path;
    std::string key_file;
    std::string check_path;
    std::string threads_text;
    bool authenticated = false;
    bool deterministic = false;
    bool help = false;
    // One position at a time: an option's value is itself looked at as an option name next,
    // and the last argument never names an option that takes a value, since it could have none.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-a") {
            authenticated = true;
        } else if (arg == "--deterministic") {
            deterministic = true;
        } else if (arg == "--help") {
            help = true;
        }
        if (i == argc - 1) {
            break;
        }
        if (arg == "-i") {
            input_path = argv[i + 1];
        } else if (arg == "-k") {
            key = argv[i + 1];
            key_given = true;
        } else if (arg == "-f") {
            data_path = argv[i + 1];
        } else if (arg == "-o") {
            header_path = argv[i + 1];
        } else if (arg == "-t") {
            threads_text = argv[i + 1];
        } else if (arg == "--key-file") {
            key_file = argv[i + 1];
        } else if (arg == "--check") {
            check_path = argv[i + 1];
        }
    }
    if (help) {
        showHelpMsg();
        return 0;
    }

    util_ko::SealOptions options;
    options.authenticated = authenticated;
    options.deterministic = deterministic;
    if (!threads_text.empty() && !ParseThreads(threads_text, options.threads)) {
        return Refuse("-t takes a count of threads (0 for every core)");
    }
    if (deterministic && !authenticated) {
        return Refuse(
            "--deterministic needs -a: the sealed text has a fixed IV and confusion bits drawn "
            "from the clock, so it cannot be made reproducible");
    }
    if (authenticated && !header_path.empty()) {
        return Refuse(
            "-a cannot write a header (-o): a header holds sealed text; seal the authenticated "
            "format into a data file with -f alone");
    }
    if (authenticated && data_path.empty() && check_path.empty()) {
        return Refuse("-a writes a data file: name it with -f");
    }
    if (!check_path.empty() && (authenticated || !header_path.empty() || !data_path.empty())) {
        return Refuse("--check writes nothing: give it without -a, -o or -f");
    }
    if (key_given && !key_file.empty()) {
        return Refuse("give the key with -k or --key-file, not both");
    }

    if (!key_file.empty()) {
        if (!ReadKeyFile(key_file, key_bytes)) {
            return 1;
        }
        AssertKeyFromFile(key);
        key_given = true;
    }
    if (key.empty()) {
        key = confuse.DeconfuseStr(util_ko::kDefaultConfusedKey, util_ko::CONFUSE_TYPE_1);
    }
    AssertKey(key);

    if (!check_path.empty()) {
        // The unsealing calls take the key as sealpack prints it: confused, or "" for the
        // default key.
        KeyBytes key_text;
        if (key_given) {
            key_text.text = confuse.ConfuseStr(key, util_ko::CONFUSE_TYPE_1);
        }
        return Check(check_path, key_text.text, options.threads);
    }

    // The outputs are written by replacement as the slices are sealed: a run that fails or is
    // stopped leaves every existing file as it was. A header is sealed here, beside a data file
    // when both are asked for, so that the input is read once.
    if (header_path.empty() && !data_path.empty()) {
        return SealDataFile(input_path, data_path, key, key_given, options);
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
