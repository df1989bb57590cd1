// Text and identifier helpers shared by the handlers and managers. Narrow text
// is UTF-8 or raw bytes; wide text is UTF-16.
#ifndef RKSERVICE_SRC_RK_UTILS_H_
#define RKSERVICE_SRC_RK_UTILS_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace rkservice {

// The service's own Base64: never writes "=", decodes leniently (stops at the
// first character outside the alphabet). Carries the synchronisation data.
std::string Base64Encode(const uint8_t* data, uint32_t size);
std::string Base64Decode(std::string_view text);

// Standard padded Base64; the decoder is strict and gives an empty result for
// text it rejects.
std::string Base64EncodeString(const std::string& bytes);
std::string Base64DecodeString(const std::string& text);
// The same decoder for callers that must tell rejected text from empty text:
// false for text it rejects, `bytes` then untouched.
bool TryBase64DecodeString(std::string_view text, std::string* bytes);

// 0 to 15 for a hexadecimal digit in either case; -1 for anything else.
int HexDigitValue(char32_t c);

// MD5 of the bytes as 32 upper-case hexadecimal digits.
std::string Md5HexUpper(const std::string& bytes);
// Sets the crypto library up for the process (its first use does too), and
// with it the cleanup that library registers for exit.
void InitCryptoLibrary();

// Never fail: each ill-formed sequence becomes U+FFFD.
std::string WideToUtf8(const std::u16string& text);
std::u16string Utf8ToWide(const std::string& text);
// The UTF-8 bytes of one code point.
void AppendUtf8(char32_t cp, std::string& out);
// The text as it would come back from UTF-16: unchanged when it is
// well-formed, else with U+FFFD for each ill-formed part. No copy through
// UTF-16 for well-formed text.
std::string WellFormedUtf8(const std::string& text);
// No ill-formed sequence: WellFormedUtf8 would give the text back as it is.
bool IsWellFormedUtf8(std::string_view text);
// A JSON text as a UTF-16 reader takes it: each ill-formed UTF-8 sequence,
// and each lone surrogate escape in a string ("\ud83d" without its low half,
// as JSON.stringify writes a string cut inside an emoji), becomes U+FFFD.
// Paired escapes, escaped backslashes and whatever stands outside strings
// are kept, so text that is no JSON stays no JSON.
std::string WellFormedJsonText(std::string text);

// The platform's GUID layout: three little-endian integers and 8 bytes.
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

bool operator==(const GUID& a, const GUID& b);
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

// 36 upper-case characters such as "00000001-0000-0000-0000-000000000000".
std::u16string GuidToString(const GUID& guid);
// Accepts the text with or without braces, digits in either case; anything
// that does not parse gives the zero GUID.
GUID StringToGuid(const std::u16string& text);

// Appends the whole file to the sink in 10,240-byte reads; false when the file
// is missing or cannot be opened.
bool ReadFileChunks(const std::filesystem::path& path, std::vector<uint8_t>& sink);

}  // namespace rkservice

#endif  // RKSERVICE_SRC_RK_UTILS_H_
