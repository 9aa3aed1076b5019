// sealpack: seals one data file into a generated header and/or a bare data file.
//
// Sealing is AES-256-CBC with ISO 7816-4 padding (IV in front), then Base64, then type 1
// string confusion; `sealcore` undoes the same layers at run time.

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

#include "sealcore/aes256.h"
#include "sealcore/base64.h"
#include "sealcore/encrypt_api.h"
#include "sealcore/internal/open_source.h"
#include "sealcore/internal/replace_file.h"
#include "sealcore/str_confuse.h"

namespace {

const std::size_t kKeyLength = 32;

// A header holds the sealed text as one string literal, which the unsealing handle counts in a
// signed 32-bit int. Sealed text is 6 * ceil(c / 3) characters for c bytes of cipher output,
// and c = 16 + 16 * (n / 16 + 1) for n input bytes, which keeps the sealed text below 2^31 up to
// this input size. A data file (-f alone) has no limit.
const std::uint64_t kMaxHeaderInput = 1073741791;

// GCC refuses a string literal of 256 MiB or more.
const std::uint64_t kCompilerLiteralLimit = std::uint64_t(1) << 28;

// Plain bytes per slice: a multiple of 48, so that every slice but the last is whole cipher
// blocks (16) and, after the IV, leaves at most two bytes that do not fill a Base64 group (3).
const std::size_t kPlainSlice = 3 * 65536;
const std::size_t kCipherRoom = 16 + kPlainSlice + 32;
const std::size_t kTextRoom = (kCipherRoom + 2) / 3 * 4;
const std::size_t kSealedRoom = kTextRoom / 2 * 3;

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

// The three layers over consecutive slices of the input: the CBC chain runs on from slice to
// slice, and the cipher bytes that do not fill a Base64 group wait for the next slice, so the
// slices' sealed texts join into exactly the sealed text of the whole input.
class Sealer {
  public:
    explicit Sealer(const std::string& key)
        : m_cipher(key, util_ko::AES256::CBC, util_ko::Padding_Type::ISO_7816_4),
          m_bytes(new char[kCipherRoom]),
          m_text(new char[kTextRoom]),
          m_sealed(new char[kSealedRoom]) {}

    // Seals the next `n` plain bytes (n <= kPlainSlice, a multiple of 16 unless `last`); the
    // last slice is padded. The result stays valid until the next call.
    std::string_view Seal(const char* plain, std::size_t n, bool last) {
        char* const bytes = m_bytes.get();
        const std::size_t got = m_cipher.encrypt(plain, n, bytes, !last);
        // Only the first output starts with the IV; the later ones repeat the chain block in
        // front, whose place the waiting bytes take.
        std::size_t start = 0;
        if (m_started) {
            start = 16 - m_waiting;
            std::memcpy(bytes + start, m_wait, m_waiting);
        } else {
            // From now on the chain goes on from the last block instead of a fresh IV.
            m_cipher.set_IV(m_cipher.get_IV());
            m_started = true;
        }
        const std::size_t length = got - start;
        const std::size_t whole = last ? length : length / 3 * 3;
        m_waiting = length - whole;
        std::memcpy(m_wait, bytes + start + whole, m_waiting);
        const int chars = m_base64.Encode(bytes + start, static_cast<int>(whole), m_text.get());
        const int sealed = m_confuse.ConfuseStrType1(m_text.get(), chars, m_sealed.get());
        return std::string_view(m_sealed.get(), static_cast<std::size_t>(sealed));
    }

  private:
    util_ko::AES256 m_cipher;
    util_ko::CBase64 m_base64;
    util_ko::StrConfuse m_confuse;
    std::unique_ptr<char[]> m_bytes;
    std::unique_ptr<char[]> m_text;
    std::unique_ptr<char[]> m_sealed;
    bool m_started = false;
    char m_wait[2] = {};
    std::size_t m_waiting = 0;
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
    Sealer sealer(key);
    std::unique_ptr<char[]> plain(new char[kPlainSlice]);
    std::uint64_t total = 0;
    std::uint64_t literal = 0;
    for (bool last = false; !last;) {
        const std::size_t got = input.read(plain.get(), kPlainSlice);
        last = got < kPlainSlice;
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
        std::cout << "copy this key to decrypt module: " << key_literal << '\n';
    }
    return ok;
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
    // stopped leaves every existing file as it was.
    const std::string key_literal =
        key_given ? TransferMeaning(confuse.ConfuseStr(key, util_ko::CONFUSE_TYPE_1)) : "";
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
