// The folder listing's flattening (RkKivvetHandler::FlattenNodeTree) read
// straight from the engine's text into the reply's, without a JSON tree:
// building and freeing one took most of the time of a listing of ten
// thousand notes.
//
// It takes only text whose reply it writes exactly as parsing, flattening
// and serialising with the JSON library would, and declines the rest, which
// then goes the library's way: numbers other than integers of up to 18
// digits (and "-0"), surrogate escapes, repeated keys in an object, nesting
// deeper than the library's limit, raw control characters in strings,
// ill-formed UTF-8, and text that is not one object with a "nodes" array.
#ifndef RKSERVICE_SRC_KIVVET_RK_NODE_LIST_FLATTENER_H_
#define RKSERVICE_SRC_KIVVET_RK_NODE_LIST_FLATTENER_H_

#include <string>
#include <string_view>

namespace rkservice {

class RkNodeListFlattener {
 public:
  // The serialised {"nodes": flattened list} in *reply; false, *reply
  // undefined, for text it declines.
  static bool Flatten(std::string_view engine_text, std::string* reply);
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_NODE_LIST_FLATTENER_H_
