// The image-tag scanner finds exactly what the two regular expressions it
// replaces find, and walks a megabyte-long tag without trouble.
#include "kivvet/rk_image_source_scanner.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace {

using rkservice::RkImageSourceScanner;

using Found = std::vector<std::pair<std::string, std::vector<std::string>>>;

Found WithRegex(const std::string& html) {
  static const std::regex kTag("<img/?[^>]+>");
  static const std::regex kSource("src\\=[\"']?[^\"']+");
  Found found;
  for (std::sregex_iterator tag(html.begin(), html.end(), kTag), end; tag != end; ++tag) {
    const std::string text = tag->str();
    std::vector<std::string> sources;
    for (std::sregex_iterator source(text.begin(), text.end(), kSource); source != end; ++source) {
      sources.push_back(source->str());
    }
    found.emplace_back(text, sources);
  }
  return found;
}

Found WithScanner(const std::string& html) {
  Found found;
  for (const auto& tag : RkImageSourceScanner::Scan(html)) {
    found.emplace_back(std::string(tag.text), std::vector<std::string>(tag.sources.begin(), tag.sources.end()));
  }
  return found;
}

TEST(RkImageSourceScanner, MatchesTheRegularExpressionsOnATable) {
  const std::string cases[] = {
      "",
      "<img>",
      "<img",
      "<img ",
      "<img/>",
      "<img/",
      "<img//>",
      "<IMG src=\"a.png\">",
      "<Img src=\"a.png\">",
      "<img src=\"http://h/a.png\">",
      "<img src='http://h/a.png'>",
      "<img src=http://h/a.png>",
      "<img src=http://h/a.png alt=x>",
      "<img src=\"\">",
      "<img src=''>",
      "<img src=\"'\">",
      "<img src=>",
      "<img src=",
      "<img src",
      "<img data-src=\"a\" src=\"b\">",
      "<img src=\"a\"src=\"b\">",
      "<img src=\"a\" src=b src='c'>",
      "<img srcsrc=\"a\">",
      "<img src==\"a\">",
      "<img src=\"a\nb\">",
      "x<img src=\"a\">y<img src=\"b\">z",
      "<img<img src=\"a\">",
      "<img><img src=\"a\">",
      "<img>>src=\"a\">",
      "<imgsrc=\"a\">",
      "<img src=\"a\" <img src=\"b\">",
      "<p src=\"a\"><img alt=\"src=b\">",
      std::string("<img src=\"a\0b\">", 15),
      "<img src=\"\xE4\xBD\xA0.png\">",
      "<img src=\" file:///tmp/a.png\">",
      "<img src=\"a\"> <img src=\"a\">",
  };
  for (const std::string& html : cases) {
    SCOPED_TRACE(html);
    EXPECT_EQ(WithScanner(html), WithRegex(html));
  }
}

TEST(RkImageSourceScanner, MatchesTheRegularExpressionsOnGeneratedInputs) {
  // Short texts over the characters that matter, from a fixed seed.
  const std::string pieces[] = {"<img", "<IMG", "src=", "data-", "\"", "'", ">", "/", " ", "a", "<", "=", "s"};
  std::mt19937 random(12345);
  std::uniform_int_distribution<size_t> piece(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(0, 12);
  for (int i = 0; i < 20000; ++i) {
    std::string html;
    for (int n = length(random); n > 0; --n) html += pieces[piece(random)];
    const Found expected = WithRegex(html);
    const Found actual = WithScanner(html);
    if (actual != expected) {
      ADD_FAILURE() << "differs on: " << html;
      break;
    }
  }
}

TEST(RkImageSourceScanner, WalksAMegabyteTag) {
  // A pasted image: one tag over a million characters long.
  const std::string data(1 << 20, 'A');
  const std::string html = "<p>x</p><img alt=\"pasted\" src=\"data:image/png;base64," + data + "\"><p>y</p>";
  const auto tags = RkImageSourceScanner::Scan(html);
  ASSERT_EQ(tags.size(), 1u);
  EXPECT_EQ(tags[0].text.size(), html.size() - 8 - 8);
  ASSERT_EQ(tags[0].sources.size(), 1u);
  EXPECT_EQ(tags[0].sources[0], "src=\"data:image/png;base64," + data);
}

}  // namespace
