#include "core/protocol/utf8.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvanta {
namespace {

// Sample characters, written as bytes so the source stays ASCII.
const std::string kUUmlaut = "\xC3\xBC";                                 // U+00FC, 2 bytes
const std::string kCombiningAcute = "\xCC\x81";                          // U+0301, 2 bytes
const std::string kThumbsUpMedium = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // U+1F44D U+1F3FD
const std::string kZwj = "\xE2\x80\x8D";                                 // U+200D
const std::string kFamily = "\xF0\x9F\x91\xA8" + kZwj + "\xF0\x9F\x91\xA9" + kZwj +
                            "\xF0\x9F\x91\xA7";                  // man, woman, girl: 18 bytes, one character
const std::string kFlagDe = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";  // regional indicators D E
const std::string kFlagFr = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";  // regional indicators F R

TEST(Utf8Test, PrefixBytesKeepsWholeCharactersWithinTheLimit) {
  const std::string word = "M" + kUUmlaut + "ller";  // six characters, seven bytes
  ASSERT_EQ(word.size(), 7u);
  EXPECT_EQ(prefixUtf8Bytes(word, 5), "M" + kUUmlaut + "ll");
  EXPECT_EQ(prefixUtf8Bytes(word, 2), "M");  // the two-byte letter does not fit after "M"
  EXPECT_EQ(prefixUtf8Bytes(word, 3), "M" + kUUmlaut);
  EXPECT_EQ(prefixUtf8Bytes(word, 7), word);
  EXPECT_EQ(prefixUtf8Bytes(word, 0), "");

  ASSERT_EQ(kThumbsUpMedium.size(), 8u);
  EXPECT_EQ(prefixUtf8Bytes(kThumbsUpMedium + "ok", 7), "");
  EXPECT_EQ(prefixUtf8Bytes(kThumbsUpMedium + "ok", 9), kThumbsUpMedium + "o");

  EXPECT_EQ(prefixUtf8Bytes("abc", 3), "abc");
  EXPECT_EQ(prefixUtf8Bytes("abc", 100), "abc");
  EXPECT_EQ(prefixUtf8Bytes("", 0), "");
}

TEST(Utf8Test, PrefixBytesNeverSplitsClusters) {
  const std::string accented = "e" + kCombiningAcute;  // one character, three bytes
  EXPECT_EQ(prefixUtf8Bytes("a" + accented + "x", 1), "a");
  EXPECT_EQ(prefixUtf8Bytes("a" + accented + "x", 2), "a");
  EXPECT_EQ(prefixUtf8Bytes("a" + accented + "x", 3), "a");
  EXPECT_EQ(prefixUtf8Bytes("a" + accented + "x", 4), "a" + accented);

  ASSERT_EQ(kFamily.size(), 18u);
  EXPECT_EQ(prefixUtf8Bytes(kFamily + "!", 17), "");
  EXPECT_EQ(prefixUtf8Bytes(kFamily + "!", 18), kFamily);
  EXPECT_EQ(prefixUtf8Bytes("hi" + kFamily, 19), "hi");

  // Regional indicators pair up from the start of the run.
  const std::string flags = kFlagDe + kFlagFr;
  EXPECT_EQ(prefixUtf8Bytes(flags, 15), kFlagDe);
  EXPECT_EQ(prefixUtf8Bytes(flags, 7), "");
  EXPECT_EQ(prefixUtf8Bytes("x" + flags, 12), "x" + kFlagDe);

  // CR LF is a single character.
  EXPECT_EQ(prefixUtf8Bytes("a\r\nb", 2), "a");
}

TEST(Utf8Test, PrefixBytesTreatsInvalidBytesAsSingleCharacters) {
  EXPECT_EQ(prefixUtf8Bytes("ab\xFF\xFE"
                            "cd",
                            3),
            "ab\xFF");
  EXPECT_EQ(prefixUtf8Bytes("a\xC3", 1), "a");  // truncated sequence at the end
  EXPECT_EQ(prefixUtf8Bytes("a\xC3", 2), "a\xC3");
  // A combining mark after an invalid byte does not join it.
  EXPECT_EQ(prefixUtf8Bytes("\xFF" + kCombiningAcute + "z", 2), "\xFF");
}

TEST(Utf8Test, PrefixBytesStaysWithinLimitOnBoundariesForMixedAndInvalidText) {
  const std::vector<std::string> texts = {
      "plain ascii text",
      "M" + kUUmlaut + "ller " + kThumbsUpMedium + " e" + kCombiningAcute + kCombiningAcute,
      kFamily + kFlagDe + kFlagFr + "\xF0\x9F\x87\xA9",  // odd indicator at the end
      "\x80\x80\xC3\xE2\x82\xF0\x9F\x91 \xED\xA0\x80 \xC0\xAF",
      kZwj + kZwj + kCombiningAcute + "\xFF" + kThumbsUpMedium.substr(0, 5) + kFamily,
      std::string("nul\0inside", 10),
  };
  for (const auto& text : texts) {
    for (std::size_t limit = 0; limit <= text.size() + 1; ++limit) {
      SCOPED_TRACE(testing::Message() << "text #" << (&text - texts.data()) << " limit " << limit);
      const std::string prefix = prefixUtf8Bytes(text, limit);
      ASSERT_LE(prefix.size(), limit);
      ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0);
      // The cut falls between whole characters and is the longest such cut.
      const std::size_t characters = graphemeCount(prefix);
      EXPECT_EQ(prefixGraphemes(text, characters), prefix);
      if (prefix.size() < text.size()) {
        EXPECT_GT(prefixGraphemes(text, characters + 1).size(), limit);
      }
    }
  }
}

TEST(Utf8Test, GraphemeCount) {
  EXPECT_EQ(graphemeCount(""), 0u);
  EXPECT_EQ(graphemeCount("abc"), 3u);
  EXPECT_EQ(graphemeCount("M" + kUUmlaut + "ller"), 6u);
  EXPECT_EQ(graphemeCount("e" + kCombiningAcute + kCombiningAcute), 1u);
  EXPECT_EQ(graphemeCount(kThumbsUpMedium), 1u);
  EXPECT_EQ(graphemeCount(kFamily), 1u);
  EXPECT_EQ(graphemeCount(kFlagDe + kFlagFr), 2u);
  EXPECT_EQ(graphemeCount(kFlagDe + "\xF0\x9F\x87\xAB"), 2u);  // a lone indicator stands alone
  EXPECT_EQ(graphemeCount("\r\n"), 1u);
  EXPECT_EQ(graphemeCount("\n\r"), 2u);
  EXPECT_EQ(graphemeCount("a\xFF\xFE"
                          "b"),
            4u);
  EXPECT_EQ(graphemeCount("\xF0\x9F\x91"), 3u);  // a truncated sequence is three bad bytes
}

TEST(Utf8Test, PrefixGraphemes) {
  const std::string text = "a" + kFamily + "e" + kCombiningAcute + kFlagDe;
  EXPECT_EQ(prefixGraphemes(text, 0), "");
  EXPECT_EQ(prefixGraphemes(text, 1), "a");
  EXPECT_EQ(prefixGraphemes(text, 2), "a" + kFamily);
  EXPECT_EQ(prefixGraphemes(text, 3), "a" + kFamily + "e" + kCombiningAcute);
  EXPECT_EQ(prefixGraphemes(text, 4), text);
  EXPECT_EQ(prefixGraphemes(text, 99), text);
  EXPECT_EQ(prefixGraphemes("", 3), "");
  EXPECT_EQ(prefixGraphemes("\xFF\xFE", 1), "\xFF");
}

TEST(Utf8Test, IsValidUtf8) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("ascii"));
  EXPECT_TRUE(isValidUtf8(kUUmlaut + kFamily + kFlagDe + kCombiningAcute));
  EXPECT_TRUE(isValidUtf8(std::string_view("a\0b", 3)));
  EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF, the last code point

  EXPECT_FALSE(isValidUtf8("\xFF"));
  EXPECT_FALSE(isValidUtf8("\x80"));    // continuation byte on its own
  EXPECT_FALSE(isValidUtf8("ab\xC3"));  // truncated at the end
  EXPECT_FALSE(
      isValidUtf8("\xE2\x82"
                  "a"));                          // truncated before another character
  EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong '/'
  EXPECT_FALSE(isValidUtf8("\xE0\x80\xAF"));      // overlong, three bytes
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // UTF-16 surrogate
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(isValidUtf8("valid then \xFE"));
}

}  // namespace
TEST(DisplayNameTest, ControlAndDirectionCharactersAreReplacedAndTheSizeIsCapped) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Anna's iPhone", "Anna's iPhone"},
      {"tab\there", "tab" + fffd + "here"},
      {"\x1b[2J", fffd + "[2J"},
      {"del\x7f", "del" + fffd},
      {"c1\xC2\x9B", "c1" + fffd},
      {"\xE2\x80\xAEtxt.exe", fffd + "txt.exe"},         // RIGHT-TO-LEFT OVERRIDE
      {"\xE2\x81\xA6x\xE2\x81\xA9", fffd + "x" + fffd},  // isolates
      {"bad\xff", "bad" + fffd},
      {"Ren\xC3\xA9"
       "e",
       "Ren\xC3\xA9"
       "e"},
  };
  for (const auto& [name, cleaned] : cases)
    EXPECT_EQ(cleanDisplayName(name, 256), cleaned) << name;
  // Cut on a code point boundary, even inside one long character.
  std::string marks = "a";
  for (int index = 0; index < 1000; ++index)
    marks += "\xCC\x81";
  const std::string cut = cleanDisplayName(marks, 256);
  EXPECT_EQ(cut.size(), 255u);
  EXPECT_TRUE(isValidUtf8(cut));
}

TEST(DisplayNameTest, TerminalEscapingKeepsLineEndsAndShowsTheRest) {
  EXPECT_EQ(escapeForTerminal("plain \xC3\xA9\n"), "plain \xC3\xA9\n");
  EXPECT_EQ(escapeForTerminal("\x1b[31m\x07"), "\\u001b[31m\\u0007");
  EXPECT_EQ(escapeForTerminal("\xE2\x80\xAE\xC2\x9B\xff"), "\\u202e\\u009b\\ufffd");
}

}  // namespace quorvanta
