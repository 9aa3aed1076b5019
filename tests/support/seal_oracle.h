#ifndef TESTS_SUPPORT_SEAL_ORACLE_H
#define TESTS_SUPPORT_SEAL_ORACLE_H

// An independent model of sealed text for the tests: OpenSSL's libcrypto does the AES-256-CBC
// and the Base64, and the type 1 confusion and the literal escaping are written out here from
// their rules, so the library under test is checked against code that shares nothing with it.

#include <string>

namespace seal_oracle {

// The AES key that the built-in default key stands for.
extern const char kDefaultPlainKey[];

// OpenSSL AES-256-CBC over `plain` with ISO 7816-4 padding (always at least one byte); returns
// the IV followed by the ciphertext.
std::string Encrypt(const std::string& key, const std::string& iv, const std::string& plain);

// Reverses Encrypt: takes the IV from the first 16 bytes and strips the ISO 7816-4 padding.
// Throws std::runtime_error when the length or the padding is wrong.
std::string Decrypt(const std::string& key, const std::string& iv_and_ciphertext);

// RFC 4648 Base64 with padding, by OpenSSL. Decode throws on characters outside the alphabet.
std::string Base64Encode(const std::string& bytes);
std::string Base64Decode(const std::string& text);

// Type 1 confusion with the layout bit and the two random marker bits chosen by the caller
// (0 to 3), so that every marker variant can be produced on purpose.
std::string Confuse(const std::string& text, int layout, int random_bits);
std::string Deconfuse(const std::string& text);

// The escaping of a string literal body: exactly ", \, ? and ' get a backslash.
std::string Escape(const std::string& text);
// Strict inverse of Escape: throws std::runtime_error on an unescaped special character or on
// a backslash that is not followed by one of the four.
std::string Unescape(const std::string& literal);

// The whole format: deconfuse, Base64-decode, decrypt.
std::string Unseal(const std::string& sealed, const std::string& key);
std::string Seal(const std::string& plain, const std::string& key, const std::string& iv,
                 int layout, int random_bits);

}  // namespace seal_oracle

#endif
