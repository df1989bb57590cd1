// The folder listing's direct flattening against the JSON library's: over
// generated node lists (engine-like ones and odd ones) it must give the
// library's bytes whenever it answers, and it must answer for what the engine
// writes; what it cannot answer exactly it declines. The library's way reads
// lists nested past the library's own limit, as deep as the engine writes
// them, through a reader whose values are the library's.
#include <cpprest/json.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "kivvet/rk_json_deep_reader.h"
#include "kivvet/rk_kivvet_handler.h"
#include "kivvet/rk_node_list_flattener.h"

namespace rkservice {
namespace {

struct Outcome {
  bool direct_ok = false;
  std::string direct;
  bool library_ok = false;
  std::string library;
};

Outcome FlattenBothWays(const std::string& text) {
  Outcome o;
  o.direct_ok = RkNodeListFlattener::Flatten(text, &o.direct);
  o.library_ok = RkKivvetHandler::FlattenNodeListWithLibrary(text, &o.library);
  return o;
}

// Node lists of random shape: nested folders (some empty, some without
// "nodes" or "fn"), notes, values of every kind the direct path takes
// (escapes, UTF-8 of every length, integers up to 18 digits, nested objects
// with unsorted keys), keys in any order, white space between tokens.
class NodeListMaker {
 public:
  explicit NodeListMaker(unsigned seed) : rng_(seed) {}

  std::string List() { return "{" + Gap() + R"("nodes")" + Gap() + ":" + Gap() + Nodes(0) + Gap() + Extra() + "}"; }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool OneIn(int n) { return Pick(n) == 0; }

  std::string Gap() {
    static const char* const kGaps[] = {"", "", "", "", " ", "\n", "\t", "\r\n  "};
    return kGaps[Pick(8)];
  }

  std::string String() {
    static const char* const kPieces[] = {
        "a",      "note",   "Folder", " ",      "/",      "\\/",     "\\\"",   "\\\\",     "\\n",      "\\t",
        "\\b",    "\\f",    "\\r",    "\\u0001", "\\u001f", "\\u0000", "\\u007f", "\x7f",    "\\u00e9",  "\\u20AC",
        "\\uFFFF", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf", "<b>&amp;</b>", "'", "paths", "nodes",
    };
    std::string s = "\"";
    for (int n = Pick(4); n > 0; --n) s += kPieces[Pick(sizeof(kPieces) / sizeof(kPieces[0]))];
    return s + "\"";
  }

  std::string Integer() {
    static const char* const kNumbers[] = {"0", "1", "2", "-1", "7", "42", "1796929322", "-2147483648",
                                           "999999999999999999", "-999999999999999999", "123456789012345678"};
    return kNumbers[Pick(sizeof(kNumbers) / sizeof(kNumbers[0]))];
  }

  std::string Value(int depth) {
    switch (Pick(depth > 3 ? 6 : 8)) {
      case 0: return String();
      case 1: return Integer();
      case 2: return "true";
      case 3: return "false";
      case 4: return "null";
      case 5: return String();
      case 6: {
        std::string a = "[";
        for (int n = Pick(4); n > 0; --n) a += Gap() + Value(depth + 1) + Gap() + (n > 1 ? "," : "");
        return a + "]";
      }
      default: {
        // Keys unsorted, one of them escaped.
        static const char* const kKeys[] = {"z", "a", "\\u0061b", "\xc3\xa9", "", "B", "\\u0000"};
        std::string o = "{";
        std::vector<int> keys = {0, 1, 2, 3, 4, 5, 6};
        std::shuffle(keys.begin(), keys.end(), rng_);
        keys.resize(Pick(4));
        for (size_t i = 0; i < keys.size(); ++i) {
          o += (i ? "," : "") + Gap() + "\"" + kKeys[keys[i]] + "\"" + Gap() + ":" + Gap() + Value(depth + 1);
        }
        return o + "}";
      }
    }
  }

  // Neither "nodes" nor a key the node already has.
  std::string Extra() {
    if (!OneIn(3)) return "";
    return "," + Gap() + R"("zz_extra":)" + Value(1) + Gap();
  }

  std::string Nodes(int depth) {
    std::string a = "[";
    for (int n = Pick(depth == 0 ? 6 : 5); n > 0; --n) a += Gap() + Node(depth) + Gap() + (n > 1 ? "," : "");
    return a + "]";
  }

  std::string Node(int depth) {
    if (OneIn(12)) return Value(depth + 4);  // not an object: skipped
    const bool folder = depth < 5 && OneIn(2);
    std::vector<std::pair<std::string, std::string>> members = {
        {"ctime", Integer()}, {"et", Integer()}, {"fav", OneIn(2) ? "true" : "false"}, {"has_content", "false"},
        {"id", R"("0000000A-0000-0000-0000-000000000000")"}, {"mtime", Integer()}, {"pid", String()},
        {"res", Integer()}, {"sum", String()}, {"tu", String()}, {"url", String()}, {"ver", Integer()},
    };
    static const char* const kNoteFts[] = {"1", "2", "-3", "999999999999999999", R"("1")", "true", "null", "{}"};
    if (folder) {
      members.push_back({"ft", "0"});
      if (!OneIn(8)) members.push_back({"nodes", OneIn(10) ? Value(depth + 1) : Nodes(depth + 1)});
    } else {
      members.push_back({"ft", OneIn(10) ? kNoteFts[Pick(8)] : "1"});
      if (OneIn(10)) members.push_back({"nodes", Nodes(depth + 1)});  // a note's own: carried, not descended
    }
    if (!OneIn(8)) members.push_back({"fn", OneIn(8) ? Value(depth + 1) : String()});
    if (OneIn(6)) members.push_back({"paths", Value(depth + 1)});  // replaced
    if (OneIn(6)) members.push_back({"\\u0070aths", String()});  // "paths" once unescaped
    if (OneIn(6)) members.push_back({"Zeta", Value(depth + 1)});
    if (OneIn(6)) members.push_back({"\xc3\xa9t\\u00e9", Value(depth + 1)});
    if (OneIn(6)) members.push_back({"", Value(depth + 1)});
    if (OneIn(3)) members.resize(members.size() - Pick(3));  // "ft" may go too
    if (OneIn(2)) std::shuffle(members.begin(), members.end(), rng_);
    // The keys that matter, now and then escaped.
    for (auto& member : members) {
      if (!OneIn(8)) continue;
      if (member.first == "ft") member.first = "\\u0066t";
      if (member.first == "fn") member.first = "f\\u006e";
      if (member.first == "nodes") member.first = "n\\u006fdes";
    }
    std::string o = "{";
    for (size_t i = 0; i < members.size(); ++i) {
      o += (i ? "," : "") + Gap() + "\"" + members[i].first + "\"" + Gap() + ":" + Gap() + members[i].second;
    }
    return o + Gap() + "}";
  }

  std::mt19937 rng_;
};

bool HasRepeatedPaths(const std::string& text) {
  // A node with both "paths" and "\u0070aths" has the key twice: declined.
  return text.find("\\u0070aths") != std::string::npos;
}

TEST(KivvetNodeListFlattener, GivesTheLibrarysBytesForGeneratedLists) {
  int answered = 0;
  for (unsigned seed = 1; seed <= 3000; ++seed) {
    const std::string text = NodeListMaker(seed).List();
    const Outcome o = FlattenBothWays(text);
    ASSERT_TRUE(o.library_ok) << text;
    if (o.direct_ok) {
      ++answered;
      ASSERT_EQ(o.direct, o.library) << "seed " << seed << "\n" << text;
    } else {
      // Only a key repeated once unescaped is outside what it takes here.
      ASSERT_TRUE(HasRepeatedPaths(text)) << "declined, seed " << seed << "\n" << text;
    }
  }
  EXPECT_GT(answered, 1500);
}

TEST(KivvetNodeListFlattener, AnswersTheFlatteningCasesAsTheLibraryDoes) {
  std::string deep = R"({"ft":1,"fn":"leaf"})";
  for (int depth = 0; depth < 45; ++depth) {
    deep = R"({"ft":0,"fn":"d)" + std::to_string(depth) + R"(","nodes":[)" + deep + R"(,{"ft":1,"fn":"x"}]})";
  }
  const std::string cases[] = {
      R"({"nodes":[]})",
      R"({"nodes":[{"ft":0,"fn":"A","nodes":[{"ft":1,"fn":"n"},{"ft":0,"fn":"E","nodes":[]}]}]})",
      R"({"nodes":[{"ft":1,"fn":"a"},{"ft":0,"fn":"E","nodes":[{"ft":0,"fn":"F","nodes":[]}]},{"ft":2,"fn":"b"}]})",
      R"({"nodes":[{"ft":0,"nodes":[{"ft":1,"fn":"n"}]}]})",
      R"({"nodes":[{"ft":0,"fn":{"b":1,"a":[2,"x"]},"nodes":[{"ft":1}]}]})",
      R"({"nodes":[1,"x",null,{"fn":"no ft"},{"ft":"0","fn":"text ft"},{"ft":1,"fn":"ok"}]})",
      R"({"nodes":[{"ft":0,"fn":"A"},{"ft":0,"fn":"B","nodes":{"ft":1}}]})",
      R"( { "other" : [ 1 , { } ] , "nodes" : [ { "ft" : -1 , "paths" : "old" } ] } )",
      "{\"nodes\":[" + deep + "]}",
  };
  for (const std::string& text : cases) {
    const Outcome o = FlattenBothWays(text);
    ASSERT_TRUE(o.direct_ok) << text;
    EXPECT_EQ(o.direct, o.library) << text;
  }
}

TEST(KivvetNodeListFlattener, DeclinesWhatItCannotAnswerExactly) {
  std::string too_deep = "1";
  for (int i = 0; i < 100; ++i) too_deep = "[" + too_deep + "]";
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"a fraction", R"({"nodes":[{"ft":1,"n":1.5}]})"},
      {"a whole fraction", R"({"nodes":[{"ft":1.0}]})"},
      {"an exponent", R"({"nodes":[{"ft":1,"n":1e2}]})"},
      {"minus zero", R"({"nodes":[{"ft":-0}]})"},
      {"19 digits", R"({"nodes":[{"ft":1,"n":1234567890123456789}]})"},
      {"a leading zero", R"({"nodes":[{"ft":01}]})"},
      {"a surrogate pair", R"({"nodes":[{"ft":1,"fn":"\ud83d\ude00"}]})"},
      {"a lone surrogate", R"({"nodes":[{"ft":1,"fn":"\udc00"}]})"},
      {"a key twice in a node", R"({"nodes":[{"ft":1,"ft":0}]})"},
      {"nodes twice", R"({"nodes":[],"nodes":[{"ft":1}]})"},
      {"a key twice once unescaped", R"({"nodes":[{"ft":1,"x":{"a":1,"\u0061":2}}]})"},
      {"nesting beyond the limit", R"({"nodes":[{"ft":1,"x":)" + too_deep + "}]}"},
      {"a raw tab in a string", "{\"nodes\":[{\"ft\":1,\"fn\":\"a\tb\"}]}"},
      {"ill-formed UTF-8", "{\"nodes\":[{\"ft\":1,\"fn\":\"\xff\"}]}"},
      {"a vertical tab as space", "\v{\"nodes\":[]}"},
      {"a byte order mark", "\xef\xbb\xbf{\"nodes\":[]}"},
      {"text after the object", R"({"nodes":[]} x)"},
      {"a trailing comma", R"({"nodes":[{"ft":1},]})"},
      {"not an object", R"([{"ft":1}])"},
      {"no nodes", R"({"node":[]})"},
      {"nodes not an array", R"({"nodes":{}})"},
      {"nothing", ""},
  };
  for (const auto& c : cases) {
    std::string reply;
    EXPECT_FALSE(RkNodeListFlattener::Flatten(c.text, &reply)) << c.what;
  }
}

// The serialised value the deep reader makes, or "refused: " and its error.
std::string ReadDeep(const std::string& text) {
  web::json::value value;
  std::string error;
  if (!RkJsonDeepReader::Parse(text, &value, &error)) return "refused: " + error;
  return value.serialize();
}

std::string ReadWithLibrary(const std::string& text) {
  std::error_code error;
  const web::json::value value = web::json::value::parse(text, error);
  return error ? "refused by the library" : value.serialize();
}

TEST(KivvetJsonDeepReader, MakesTheLibrarysValues) {
  for (unsigned seed = 1; seed <= 3000; ++seed) {
    const std::string text = NodeListMaker(seed).List();
    ASSERT_EQ(ReadDeep(text), ReadWithLibrary(text)) << "seed " << seed << "\n" << text;
  }
  const std::string cases[] = {
      // Integers signed and unsigned, the rest doubles, as the library keeps them.
      R"([-0,0,1.0,1e2,1.5,-2.5e-3,0.1,-0.0,5e-324,1.7976931348623157e308,12345678901234567890,18446744073709551615,
          18446744073709551616,-9223372036854775808,-9223372036854775809,123456789012345678901234567890,1E+2])",
      // Repeated keys are kept, in the library's order.
      R"({"b":1,"a":2,"a":3,"c":{"z":0,"\u007a":1,"y":[],"z":2}})",
      R"({"k":0,"k":1,"j":2,"k":3,"i":4,"k":5,"h":6,"k":7,"g":8,"k":9,"f":10,"k":11,"e":12,"k":13,"d":14,"k":15,"c":16,"k":17})",
      R"(["\ud83d\ude00","\u0000","\u00e9\u20ac","\"\\\/\b\f\n\r\t","é€😀",""])",
      " \t\r\n{ \"a\" : [ true , false , null ] , \"\" : { } } \n",
      "\"just a text\"", "42", "null",
  };
  for (const std::string& text : cases) EXPECT_EQ(ReadDeep(text), ReadWithLibrary(text)) << text;
}

TEST(KivvetJsonDeepReader, ReadsToItsBoundAndRefusesWhatIsNotJson) {
  const auto nested = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
  EXPECT_EQ(ReadWithLibrary(nested(129)), "refused by the library");
  EXPECT_EQ(ReadDeep(nested(129)), nested(129));
  EXPECT_EQ(ReadDeep(nested(RkJsonDeepReader::kMaxDepth)), nested(RkJsonDeepReader::kMaxDepth));
  EXPECT_EQ(ReadDeep(nested(RkJsonDeepReader::kMaxDepth + 1)), "refused: nested deeper than 1024 levels");
  EXPECT_EQ(ReadDeep(std::string(2000, '[')), "refused: nested deeper than 1024 levels");
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"", "refused: syntax error at byte 1"},
      {"[1,]", "refused: syntax error at byte 4"},
      {"[1] x", "refused: syntax error at byte 5"},
      {"{\"a\":1,}", "refused: syntax error at byte 8"},
      {"[01]", "refused: syntax error at byte 3"},
      {"[\"a\tb\"]", "refused: syntax error at byte 4"},
      // Strict where the library is lenient: no comments, no lone surrogates.
      {"[1 /* c */]", "refused: syntax error at byte 4"},
      {"[\"\\udc00\"]", "refused: syntax error at byte 8"},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadDeep(c.text), c.error) << c.text;
}

// A chain of folders d0, d1, ... with a note at the bottom, and what the
// listing gives for it.
struct Chain {
  std::string list;
  std::string flat;
};

Chain FolderChain(int folders) {
  std::string node = R"({"ft":1,"fn":"leaf"})";
  for (int i = folders - 1; i >= 0; --i) {
    node = R"({"ft":0,"fn":"d)" + std::to_string(i) + R"(","nodes":[)" + node + "]}";
  }
  Chain chain{R"({"nodes":[)" + node + "]}", R"({"nodes":[)"};
  std::string paths;
  for (int i = 0; i < folders; ++i) {
    chain.flat += R"({"fn":"d)" + std::to_string(i) + R"(","ft":0,"paths":[)" + paths + "]},";
    paths += std::string(i != 0 ? "," : "") + "\"d" + std::to_string(i) + "\"";
  }
  chain.flat += R"({"fn":"leaf","ft":1,"paths":[)" + paths + "]}]}";
  return chain;
}

TEST(KivvetNodeListFlattener, TheLibrarysWayReadsChainsPastTheLibrarysLimit) {
  // 62 folders nest 127 levels, the library's reader stops at 128; the
  // engine writes 257 folders; 510 is the deep reader's bound.
  for (const int folders : {1, 48, 62, 63, 64, 100, 257, 510}) {
    const Chain chain = FolderChain(folders);
    std::string reply;
    ASSERT_TRUE(RkKivvetHandler::FlattenNodeListWithLibrary(chain.list, &reply)) << folders;
    EXPECT_EQ(reply, chain.flat) << folders;
    std::string direct;
    if (RkNodeListFlattener::Flatten(chain.list, &direct)) {
      EXPECT_EQ(direct, chain.flat) << folders;
    }
  }
  std::string reply;
  EXPECT_FALSE(RkKivvetHandler::FlattenNodeListWithLibrary(FolderChain(511).list, &reply));
}

}  // namespace
}  // namespace rkservice
