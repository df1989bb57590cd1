#include "rk_utils.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>

namespace rkservice {
namespace {

const std::string kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr size_t kFileChunk = 10240;
constexpr char32_t kReplacement = 0xFFFD;

// Index of a Base64 character, or -1.
int Base64Index(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

void AppendUtf16(char32_t cp, std::u16string& out) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendHex(uint64_t value, int digits, std::u16string& out) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out.push_back(kDigits[(value >> shift) & 0xF]);
}

// Parses exactly `digits` hexadecimal digits at `pos`.
bool ParseHex(const std::u16string& text, size_t pos, int digits, uint64_t& value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    const int v = HexDigitValue(text[pos + i]);
    if (v < 0) return false;
    value = (value << 4) | static_cast<uint64_t>(v);
  }
  return true;
}

}  // namespace

int HexDigitValue(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

void AppendUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string Base64Encode(const uint8_t* data, uint32_t size) {
  std::string out;
  if (data == nullptr || size == 0) return out;
  out.reserve((size / 3) * 4 + 3);
  uint32_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint8_t b0 = data[i], b1 = data[i + 1], b2 = data[i + 2];
    out.push_back(kBase64Alphabet[b0 >> 2]);
    out.push_back(kBase64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)]);
    out.push_back(kBase64Alphabet[((b1 & 0x0F) << 2) | (b2 >> 6)]);
    out.push_back(kBase64Alphabet[b2 & 0x3F]);
  }
  const uint32_t rest = size - i;
  if (rest > 0) {
    const uint8_t b0 = data[i];
    const uint8_t b1 = rest > 1 ? data[i + 1] : 0;
    out.push_back(kBase64Alphabet[b0 >> 2]);
    out.push_back(kBase64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)]);
    if (rest > 1) out.push_back(kBase64Alphabet[(b1 & 0x0F) << 2]);
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  int group[4];
  int filled = 0;
  for (unsigned char c : text) {
    const int index = Base64Index(c);
    if (index < 0) break;  // "=", blanks and bytes from 0x80 up end the scan
    group[filled++] = index;
    if (filled == 4) {
      out.push_back(static_cast<char>((group[0] << 2) | (group[1] >> 4)));
      out.push_back(static_cast<char>(((group[1] & 0x0F) << 4) | (group[2] >> 2)));
      out.push_back(static_cast<char>(((group[2] & 0x03) << 6) | group[3]));
      filled = 0;
    }
  }
  if (filled >= 2) out.push_back(static_cast<char>((group[0] << 2) | (group[1] >> 4)));
  if (filled == 3) out.push_back(static_cast<char>(((group[1] & 0x0F) << 4) | (group[2] >> 2)));
  return out;
}

std::string Base64EncodeString(const std::string& bytes) {
  std::string out = Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
  while (out.size() % 4 != 0) out.push_back('=');
  return out;
}

std::string Base64DecodeString(const std::string& text) {
  std::string bytes;
  TryBase64DecodeString(text, &bytes);
  return bytes;
}

bool TryBase64DecodeString(std::string_view text, std::string* bytes) {
  // Strict: whole groups of four, the alphabet only, "=" only as the last one
  // or two characters, and no stray bits in a padded group.
  if (text.size() % 4 != 0) return false;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = (text.size() >= 2 && text[text.size() - 2] == '=') ? 2 : 1;
  const size_t body = text.size() - padding;
  for (size_t i = 0; i < body; ++i) {
    if (Base64Index(static_cast<unsigned char>(text[i])) < 0) return false;
  }
  if (padding > 0) {
    const int last = Base64Index(static_cast<unsigned char>(text[body - 1]));
    if ((padding == 1 && (last & 0x03) != 0) || (padding == 2 && (last & 0x0F) != 0)) return false;
  }
  *bytes = Base64Decode(text.substr(0, body));
  return true;
}

void InitCryptoLibrary() { OPENSSL_init_crypto(0, nullptr); }

std::string Md5HexUpper(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1) return {};
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(kDigits[digest[i] >> 4]);
    out.push_back(kDigits[digest[i] & 0x0F]);
  }
  return out;
}

std::string WideToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else {
        c = kReplacement;
      }
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(c, out);
  }
  return out;
}

namespace {

// Reads the sequence at s[i]: its code point, or false for a maximal
// ill-formed subpart; either way *next is where the following one starts.
bool ReadUtf8(const unsigned char* s, size_t n, size_t i, char32_t* cp, size_t* next) {
  const unsigned char b0 = s[i];
  if (b0 < 0x80) {
    *cp = b0;
    *next = i + 1;
    return true;
  }
  int need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    *cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    *cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    *cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    *next = i + 1;
    return false;
  }
  size_t j = i + 1;
  for (int k = 0; k < need; ++k, ++j) {
    const unsigned char lower = (k == 0) ? lo : 0x80;
    const unsigned char upper = (k == 0) ? hi : 0xBF;
    if (j >= n || s[j] < lower || s[j] > upper) {
      *next = j;
      return false;
    }
    *cp = (*cp << 6) | (s[j] & 0x3F);
  }
  *next = j;
  return true;
}

}  // namespace

// Each maximal ill-formed subpart becomes one U+FFFD (Unicode's recommended
// practice), so a truncated sequence costs one replacement, not several.
std::u16string Utf8ToWide(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0, next = 0; i < text.size(); i = next) {
    char32_t cp;
    AppendUtf16(ReadUtf8(s, text.size(), i, &cp, &next) ? cp : kReplacement, out);
  }
  return out;
}

bool IsWellFormedUtf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0, next = 0; i < text.size(); i = next) {
    // Runs of ASCII, eight bytes at a time: answers are megabytes of it.
    uint64_t word;
    if (text.size() - i >= sizeof(word)) {
      std::memcpy(&word, s + i, sizeof(word));
      if ((word & 0x8080808080808080ull) == 0) {
        next = i + sizeof(word);
        continue;
      }
    }
    char32_t cp;
    if (!ReadUtf8(s, text.size(), i, &cp, &next)) return false;
  }
  return true;
}

std::string WellFormedUtf8(const std::string& text) {
  return IsWellFormedUtf8(text) ? text : WideToUtf8(Utf8ToWide(text));
}

namespace {

// The unit of the four hexadecimal digits at text[at], or -1.
int32_t EscapedUnit(const std::string& text, size_t at) {
  if (at > text.size() || text.size() - at < 4) return -1;
  int32_t unit = 0;
  for (size_t i = at; i < at + 4; ++i) {
    const int value = HexDigitValue(static_cast<unsigned char>(text[i]));
    if (value < 0) return -1;
    unit = (unit << 4) | value;
  }
  return unit;
}

}  // namespace

std::string WellFormedJsonText(std::string text) {
  if (!IsWellFormedUtf8(text)) text = WideToUtf8(Utf8ToWide(text));
  // Most bodies hold no escape at all.
  if (text.find('\\') == std::string::npos) return text;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      in_string = !in_string;
      continue;
    }
    if (!in_string || c != '\\') continue;
    // An escape: two characters, or six for "\u" and its digits.
    if (i + 1 >= text.size() || text[i + 1] != 'u') {
      ++i;
      continue;
    }
    const int32_t unit = EscapedUnit(text, i + 2);
    if (unit < 0) continue;  // a bad escape, for the parser to refuse
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 8 <= text.size() && text[i + 6] == '\\' && text[i + 7] == 'u') {
      const int32_t next = EscapedUnit(text, i + 8);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        i += 11;  // a pair
        continue;
      }
    }
    // Same length: a parser's error positions do not move.
    if (unit >= 0xD800 && unit <= 0xDFFF) text.replace(i + 2, 4, "FFFD");
    i += 5;
  }
  return text;
}

bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

std::u16string GuidToString(const GUID& guid) {
  std::u16string out;
  out.reserve(36);
  AppendHex(guid.Data1, 8, out);
  out.push_back(u'-');
  AppendHex(guid.Data2, 4, out);
  out.push_back(u'-');
  AppendHex(guid.Data3, 4, out);
  out.push_back(u'-');
  AppendHex((static_cast<uint64_t>(guid.Data4[0]) << 8) | guid.Data4[1], 4, out);
  out.push_back(u'-');
  for (int i = 2; i < 8; ++i) AppendHex(guid.Data4[i], 2, out);
  return out;
}

GUID StringToGuid(const std::u16string& text) {
  GUID zero{};
  if (text.empty()) return zero;
  const std::u16string braced = text[0] == u'{' ? text : u"{" + text + u"}";
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (braced.size() != 38 || braced[37] != u'}' || braced[9] != u'-' || braced[14] != u'-' || braced[19] != u'-' ||
      braced[24] != u'-') {
    return zero;
  }
  GUID guid{};
  uint64_t v;
  if (!ParseHex(braced, 1, 8, v)) return zero;
  guid.Data1 = static_cast<uint32_t>(v);
  if (!ParseHex(braced, 10, 4, v)) return zero;
  guid.Data2 = static_cast<uint16_t>(v);
  if (!ParseHex(braced, 15, 4, v)) return zero;
  guid.Data3 = static_cast<uint16_t>(v);
  for (int i = 0; i < 2; ++i) {
    if (!ParseHex(braced, 20 + 2 * i, 2, v)) return zero;
    guid.Data4[i] = static_cast<uint8_t>(v);
  }
  for (int i = 0; i < 6; ++i) {
    if (!ParseHex(braced, 25 + 2 * i, 2, v)) return zero;
    guid.Data4[2 + i] = static_cast<uint8_t>(v);
  }
  return guid;
}

bool ReadFileChunks(const std::filesystem::path& path, std::vector<uint8_t>& sink) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {  // a folder is not a file to read
    ::close(fd);
    return false;
  }
  uint8_t buffer[kFileChunk];
  for (;;) {
    ssize_t got;
    do {
      got = ::read(fd, buffer, sizeof(buffer));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) break;  // end of file, or a read error that is not reported
    sink.insert(sink.end(), buffer, buffer + got);
  }
  ::close(fd);
  return true;
}

}  // namespace rkservice
