// Id texts and UTF-16 conversions shared by the engine and the peer.
#ifndef EXTLIBS_KIVVET_RK_KIVVET_TEXT_H_
#define EXTLIBS_KIVVET_RK_KIVVET_TEXT_H_

#include <string>
#include <string_view>

#include "rk_kivvet_interface.h"

namespace rkkivvet {

// 36 upper-case hexadecimal characters with dashes, no braces.
std::string GuidToText(const RkGuid& id);
// Reads the form GuidToText writes (either case, braces allowed); false for
// anything else.
bool TextToGuid(std::string_view text, RkGuid* id);
// The text of *id, or "" for null and the all-zero GUID (no id).
std::string IdText(const RkGuid* id);
bool IsIdText(std::string_view text);
// A random (version 4) GUID.
RkGuid NewGuid();
std::string NewIdText();

// A JSON text with each lone surrogate escape in its strings ("\ud83d"
// without its low half, as JSON.stringify writes a string cut inside an
// emoji) made "\uFFFD", as a UTF-16 reader takes it; pairs, bad escapes and
// all else stay as they are.
std::string LoneSurrogateEscapesReplaced(std::string json);

// Lone surrogates become U+FFFD; null gives "".
std::string Utf16ToUtf8(std::u16string_view text);
std::string Utf16ToUtf8(const char16_t* text);

}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_RK_KIVVET_TEXT_H_
