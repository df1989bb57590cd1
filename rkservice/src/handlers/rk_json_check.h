// A strict check that a text is exactly one JSON value (RFC 8259's grammar),
// with well-formed UTF-8 in its strings; a "\u" escape may be any four
// digits, a lone surrogate too. It builds nothing, so a card list can check a
// thousand stored values per request.
#ifndef RKSERVICE_SRC_HANDLERS_RK_JSON_CHECK_H_
#define RKSERVICE_SRC_HANDLERS_RK_JSON_CHECK_H_

#include <cstddef>

namespace rkservice {

// Blanks around the value are allowed; nesting of any depth too.
bool IsOneJsonValue(const char* data, size_t size);

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_JSON_CHECK_H_
