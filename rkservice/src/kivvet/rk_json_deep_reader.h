// Reads JSON text into the JSON library's value where the library's own
// reader gives up: it stops at 128 levels, and the notes engine nests its
// folders to 257 levels (516 of JSON). The value is made as the library's
// reader makes it (integers signed or unsigned, other numbers as doubles,
// object members in the library's order, repeated keys kept), so flattening
// and serialising it give the library's bytes. The text is read strictly:
// standard JSON only (no comments, no lone surrogate escapes), as UTF-8.
#ifndef RKSERVICE_SRC_KIVVET_RK_JSON_DEEP_READER_H_
#define RKSERVICE_SRC_KIVVET_RK_JSON_DEEP_READER_H_

#include <cpprest/json.h>

#include <string>
#include <string_view>

namespace rkservice {

class RkJsonDeepReader {
 public:
  // Twice the engine's deepest text: room to spare, and a bound on the
  // recursion of the library's serialiser and destructor.
  static constexpr int kMaxDepth = 1024;

  // False, with *error saying why ("syntax error at byte N", "nested deeper
  // than 1024 levels"), for text that is not one JSON value within the bound.
  static bool Parse(std::string_view text, web::json::value* value, std::string* error);
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_JSON_DEEP_READER_H_
