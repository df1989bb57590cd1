// Finds the image tags of a note's HTML and the source attributes inside
// them, in one pass. A pasted image can make one tag megabytes long, which a
// recursive regular-expression matcher cannot walk without running out of
// stack; this scanner matches the same texts as the expressions
// "<img/?[^>]+>" and "src\=["']?[^"']+" (ECMAScript, case-sensitive) in
// linear time.
#ifndef RKSERVICE_SRC_KIVVET_RK_IMAGE_SOURCE_SCANNER_H_
#define RKSERVICE_SRC_KIVVET_RK_IMAGE_SOURCE_SCANNER_H_

#include <string_view>
#include <vector>

namespace rkservice {

struct RkImageTag {
  // From "<img" to its first ">", both included.
  std::string_view text;
  // Each "src=" match inside the tag, left to right: "src=", an optional
  // quote, then the longest run of characters that are not quotes. The end
  // of a longer name counts too ("data-src=").
  std::vector<std::string_view> sources;
};

class RkImageSourceScanner {
 public:
  // Tags from left to right, without overlap. "<img" must be followed by at
  // least one character other than ">"; upper-case "<IMG" is not a tag.
  // The views point into html.
  static std::vector<RkImageTag> Scan(std::string_view html);

  static std::vector<std::string_view> ScanSources(std::string_view tag);
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_IMAGE_SOURCE_SCANNER_H_
