#include "kivvet/rk_ini_reader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>

namespace rkservice {
namespace {

// The tree in the order of the input: "key=value;" for keys, "[name]{...}" for
// sections. Checks each child's parent and depth on the way.
std::string Dump(const RkIniSection& section) {
  std::string out;
  for (const auto& key : section.key_order()) out += key->first + "=" + key->second + ";";
  for (const auto& child : section.section_order()) {
    EXPECT_EQ(child->second.parent(), &section) << child->first;
    EXPECT_EQ(child->second.depth(), section.depth() + 1) << child->first;
    out += "[" + child->first + "]{" + Dump(child->second) + "}";
  }
  return out;
}

// The dump of the parsed text, or "error: " and the exception's text.
std::string Parse(const std::string& text) {
  std::istringstream input(text);
  try {
    RkIniReader reader(input);
    EXPECT_EQ(reader.depth(), 0);
    EXPECT_EQ(reader.parent(), nullptr);
    return Dump(reader);
  } catch (const std::runtime_error& e) {
    return std::string("error: ") + e.what();
  }
}

TEST(RkIniReader, ParsesTreesAndReportsTheFirstError) {
  const struct {
    const char* what;
    std::string in;
    std::string out;
  } cases[] = {
      {"empty", "", ""},
      {"comments and empty lines only", "# c\n; c\n\n \t \n", ""},
      {"keys before any header are the root's", "k=v\n[a]\nx=1\n", "k=v;[a]{x=1;}"},
      {"last line without a line end", "[a]\nk=v", "[a]{k=v;}"},
      {"blanks around key and value", "  key \t=  value  \n", "key=value;"},
      {"nesting down and up", "[a]\n[[b]]\nk=1\n[c]\n", "[a]{[b]{k=1;}}[c]{}"},
      {"up two levels at once", "[a]\n[[b]]\n[[[c]]]\n[[d]]\n[e]\n", "[a]{[b]{[c]{}}[d]{}}[e]{}"},
      {"too deep", "[a]\n[[[b]]]\n", "error: section with wrong depth on line #2"},
      {"two brackets under the root", "k=v\n[[a]]\n", "error: section with wrong depth on line #2"},
      {"duplicate sibling", "[a]\n[[b]]\n[a]\n", "error: duplicate section name on the same level on line #3"},
      {"equal names under different parents", "[a]\n[[b]]\n[c]\n[[b]]\n", "[a]{[b]{}}[c]{[b]{}}"},
      {"one byte dropped at each end", "[ab\n", "[a]{}"},
      {"shorter than its brackets", "[[\n", "error: section with wrong depth on line #1"},
      {"an indented ';' is no comment", " ;x\n", "error: no '=' found on line #1"},
      {"an indented ';' starts a key", " ;k=v\n", ";k=v;"},
      {"a blank before a comment stays", "k=v #c\n", "k=v ;"},
      {"'#' is looked for first", "k=a;b#c\n", "k=a;b;"},
      {"';' when there is no '#'", "k=a;b\n", "k=a;"},
      {"a value that is only a comment", "k=#c\n", "k=;"},
      {"two '='", "k=a=b\n", "k=a=b;"},
      {"duplicate key", "k=1\nk=2\n", "error: duplicated key found on line #2"},
      {"equal keys in different sections", "k=1\n[a]\nk=2\n", "k=1;[a]{k=2;}"},
      {"line numbers count comments and empty lines", "# c\n\nk=1\n\n; c\nk=2\n",
       "error: duplicated key found on line #6"},
      {"CR LF", "[a]\r\nk = v\r\n[[b]]\r\nx=1\r\n", "[a]{k=v;[b]{x=1;}}"},
      {"mark on the first line", "\xEF\xBB\xBF[a]\nk=v\n", "[a]{k=v;}"},
      {"mark before a comment", "\xEF\xBB\xBF#c\n", ""},
      {"mark alone is kept", "\xEF\xBB\xBF\n", "error: no '=' found on line #1"},
      {"mark on a later line is kept", "k=v\n\xEF\xBB\xBFx=1\n", "k=v;\xEF\xBB\xBFx=1;"},
  };
  for (const auto& c : cases) EXPECT_EQ(Parse(c.in), c.out) << c.what;
}

TEST(RkIniReader, LooksUpSectionsAndValues) {
  std::istringstream input("[main]\nmetas={\"nodes\":[]}\n");
  RkIniReader reader(input);
  const RkIniSection* main = reader.FindSection("main");
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->Value("metas"), "{\"nodes\":[]}");
  EXPECT_EQ(main->Value("missing"), "");
  EXPECT_EQ(reader.FindSection("missing"), nullptr);
}

}  // namespace
}  // namespace rkservice
