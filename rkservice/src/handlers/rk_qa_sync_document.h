// The quick-access synchronisation document: the whole store as one JSON
// object {"app":"rkfas","data":[{"key","value","value_type"}...],"ver":1}.
// The export writes each stored value as unpadded Base64 of its UTF-16LE
// bytes (or as its text); the import reads a document strictly.
#ifndef RKSERVICE_SRC_HANDLERS_RK_QA_SYNC_DOCUMENT_H_
#define RKSERVICE_SRC_HANDLERS_RK_QA_SYNC_DOCUMENT_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace rkservice {

struct RkQASyncItem {
  std::u16string key;
  std::u16string text;
};

class RkQASyncDocument {
 public:
  enum class Status { kOk, kNotJson, kNotObject, kNoApp, kNoData };

  // Keys in ascending order, items in the map's order. With `as_text`, each
  // value is its UTF-16 text (every unit kept) instead of Base64.
  static std::string Export(const std::map<std::string, std::vector<uint8_t>>& values, bool as_text);

  // Reads a document (a leading byte-order mark is skipped; nesting deeper
  // than 200 is refused) in one pass. kNotJson comes with the reader's
  // message in `error`, as well-formed UTF-8. Items of the wrong shape and
  // values that do not decode are left out of `items`, which keeps the
  // document's order.
  static Status Import(const std::string& body, std::vector<RkQASyncItem>* items, std::string* error);
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_QA_SYNC_DOCUMENT_H_
