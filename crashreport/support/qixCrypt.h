// qixCrypt: the library's one block cipher (Blowfish) and base64.
//
// Byte strings are std::string, as they travel through settings and mail code.
// Every call builds its own key schedule, so all routines are re-entrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qix {

// Counter-mode constants of the stored-password encoding. The settings writer
// and the loader must agree on them.
inline constexpr uint32_t kPasswordServerCounter = 0x7a3c91e5;
inline constexpr uint32_t kPasswordAccountCounter = 0x1d8b4f62;

// Treats length / 8 whole blocks in place; a trailing partial block is left alone.
// Both counters zero: block mode (each block on its own, no chaining).
// Otherwise counter mode: the encipher flag is ignored and a key stream is XORed in.
// nativeOrder maps each block onto two little-endian words (L = second word) instead
// of the published big-endian halves. An empty key leaves the buffer unchanged.
void CryptBuffer(void* buffer, size_t length, bool encipher, bool nativeOrder, uint32_t counterLow,
                 uint32_t counterHigh, std::string_view key);

// Legacy string cipher: block mode, native order; the text keeps its length.
void OldEncrypt(std::string& text, std::string_view key);
void OldDecrypt(std::string& text, std::string_view key);

// Standard order; deciphers in block mode or applies the key stream in counter mode,
// then strips block padding (see RemovePadding).
void Decrypt(std::string& text, std::string_view key, uint32_t counterLow, uint32_t counterHigh);

// The forward direction of Decrypt in counter mode: pads first, then applies the stream.
void Encrypt(std::string& text, std::string_view key, uint32_t counterLow, uint32_t counterHigh);

// Drops p trailing bytes when the text ends in p bytes of value p (1..8).
// Anything else, including a run longer than the text, leaves it unchanged.
void RemovePadding(std::string& text);
// Appends p bytes of value p so that the length becomes a multiple of 8 (p in 1..8).
void AddPadding(std::string& text);

// Settings passwords: base64 of a text enciphered with the account, then the server name.
std::string DecryptPassword(std::string_view stored, std::string_view account,
                            std::string_view server);
std::string EncryptPassword(std::string_view plain, std::string_view account,
                            std::string_view server);

std::string EncodeBase64(std::string_view bytes);
// Empty for a length that is not a multiple of 4; stops at the first character
// outside the alphabet (normally the '=' padding).
std::string DecodeBase64(std::string_view text);

} // namespace qix
