#include "tests/support/seal_oracle.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace seal_oracle {

const char kDefaultPlainKey[] = "sealcore-builtin-default-key-v01";

namespace {

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

std::string RunCipher(bool encrypt, const std::string& key, const std::string& iv,
                      const std::string& in) {
    if (key.size() != 32 || iv.size() != 16) {
        throw std::runtime_error("oracle: bad key or IV size");
    }
    CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    const auto* k = reinterpret_cast<const unsigned char*>(key.data());
    const auto* v = reinterpret_cast<const unsigned char*>(iv.data());
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, k, v, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
        throw std::runtime_error("oracle: cipher init failed");
    }
    std::string out(in.size() + 16, '\0');
    int n = 0;
    int tail = 0;
    auto* o = reinterpret_cast<unsigned char*>(&out[0]);
    if (EVP_CipherUpdate(ctx.get(), o, &n, reinterpret_cast<const unsigned char*>(in.data()),
                         static_cast<int>(in.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), o + n, &tail) != 1) {
        throw std::runtime_error("oracle: cipher failed");
    }
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

int Signed(char c) {
    return static_cast<signed char>(c);
}

}  // namespace

std::string Encrypt(const std::string& key, const std::string& iv, const std::string& plain) {
    std::string padded = plain + '\x80';
    padded.append((16 - padded.size() % 16) % 16, '\0');
    return iv + RunCipher(true, key, iv, padded);
}

std::string Decrypt(const std::string& key, const std::string& iv_and_ciphertext) {
    if (iv_and_ciphertext.size() < 32 || iv_and_ciphertext.size() % 16 != 0) {
        throw std::runtime_error("oracle: bad ciphertext length");
    }
    std::string padded =
        RunCipher(false, key, iv_and_ciphertext.substr(0, 16), iv_and_ciphertext.substr(16));
    std::size_t end = padded.find_last_not_of('\0');
    if (end == std::string::npos || end < padded.size() - 16 || padded[end] != '\x80') {
        throw std::runtime_error("oracle: bad padding");
    }
    return padded.substr(0, end);
}

std::string Base64Encode(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string Base64Decode(const std::string& text) {
    if (text.size() % 4 != 0) {
        throw std::runtime_error("oracle: Base64 length not a multiple of 4");
    }
    std::string out(text.size() / 4 * 3 + 1, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) {
        throw std::runtime_error("oracle: bad Base64");
    }
    // EVP_DecodeBlock counts the bytes that the padding stands for.
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

std::string Confuse(const std::string& text, int layout, int random_bits) {
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        int x = Signed(text[i]);
        int y = Signed(text[i + 1]);
        int d = (x > y ? x - y : y - x) & 0xFF;
        char mean = static_cast<char>((x + y) / 2);
        bool add = static_cast<signed char>(d) <= 31;
        char diff = static_cast<char>(add ? d + 32 : d);
        char marker = static_cast<char>(64 | (layout ? 32 : 0) | (x > y ? 16 : 0) | (add ? 8 : 0) |
                                        ((random_bits & 3) << 1));
        if (layout) {
            out += {diff, marker, mean};
        } else {
            out += {mean, marker, diff};
        }
    }
    if (text.size() % 2 == 1) {
        out += text.back();
    }
    return out;
}

std::string Deconfuse(const std::string& text) {
    if (text.size() == 1) {
        return text;
    }
    std::string out;
    for (std::size_t i = 0; i + 3 <= text.size(); i += 3) {
        unsigned marker = static_cast<unsigned char>(text[i + 1]);
        bool diff_first = (marker & 32) != 0;
        int diff = Signed(text[diff_first ? i : i + 2]);
        int mean = Signed(text[diff_first ? i + 2 : i]);
        int d = (marker & 8) ? diff - 32 : diff;
        int s = 2 * mean + d;
        if (s % 2 != 0) {
            ++s;
        }
        char hi = static_cast<char>(s / 2);
        char lo = static_cast<char>(s / 2 - d);
        if (marker & 16) {
            out += {hi, lo};
        } else {
            out += {lo, hi};
        }
    }
    if (text.size() % 3 == 1) {
        out += text.back();
    }
    return out;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\' || c == '?' || c == '\'') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string Unescape(const std::string& literal) {
    std::string out;
    for (std::size_t i = 0; i < literal.size(); ++i) {
        char c = literal[i];
        if (c == '"' || c == '?' || c == '\'') {
            throw std::runtime_error("oracle: unescaped special character in literal");
        }
        if (c == '\\') {
            if (i + 1 == literal.size()) {
                throw std::runtime_error("oracle: literal ends in a backslash");
            }
            c = literal[++i];
            if (c != '"' && c != '\\' && c != '?' && c != '\'') {
                throw std::runtime_error("oracle: unknown escape in literal");
            }
        }
        out += c;
    }
    return out;
}

std::string Unseal(const std::string& sealed, const std::string& key) {
    return Decrypt(key, Base64Decode(Deconfuse(sealed)));
}

std::string Seal(const std::string& plain, const std::string& key, const std::string& iv,
                 int layout, int random_bits) {
    return Confuse(Base64Encode(Encrypt(key, iv, plain)), layout, random_bits);
}

}  // namespace seal_oracle
