#include "kivvet/rk_image_source_scanner.h"

namespace rkservice {
namespace {

bool IsQuote(char c) { return c == '"' || c == '\''; }

}  // namespace

std::vector<RkImageTag> RkImageSourceScanner::Scan(std::string_view html) {
  std::vector<RkImageTag> tags;
  size_t from = 0;
  while (from < html.size()) {
    const size_t start = html.find("<img", from);
    if (start == std::string_view::npos) break;
    const size_t body = start + 4;
    if (body >= html.size() || html[body] == '>') {
      from = start + 1;
      continue;
    }
    const size_t end = html.find('>', body);
    // No ">" after this tag means none after any later one either.
    if (end == std::string_view::npos) break;
    RkImageTag tag;
    tag.text = html.substr(start, end + 1 - start);
    tag.sources = ScanSources(tag.text);
    tags.push_back(std::move(tag));
    from = end + 1;
  }
  return tags;
}

std::vector<std::string_view> RkImageSourceScanner::ScanSources(std::string_view tag) {
  std::vector<std::string_view> sources;
  size_t from = 0;
  while (from < tag.size()) {
    const size_t start = tag.find("src=", from);
    if (start == std::string_view::npos) break;
    size_t run = start + 4;
    if (run < tag.size() && IsQuote(tag[run])) ++run;
    size_t end = run;
    while (end < tag.size() && !IsQuote(tag[end])) ++end;
    if (end == run) {
      // Nothing but a quote (or the end) follows: no match starts here.
      from = start + 1;
      continue;
    }
    sources.push_back(tag.substr(start, end - start));
    from = end;
  }
  return sources;
}

}  // namespace rkservice
