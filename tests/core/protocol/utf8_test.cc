#include "core/protocol/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace quorvanta {
namespace {

// Sample characters, written as bytes so the source stays ASCII.
const std::string kUUmlaut = "\xC3\xBC";                                 // U+00FC, 2 bytes
const std::string kAcute = "\xCC\x81";                                   // U+0301, combining
const std::string kThumbsUpMedium = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // U+1F44D U+1F3FD
const std::string kZwj = "\xE2\x80\x8D";                                 // U+200D
const std::string kFamily = "\xF0\x9F\x91\xA8" + kZwj + "\xF0\x9F\x91\xA9" + kZwj +
                            "\xF0\x9F\x91\xA7";                  // man, woman, girl: 18 bytes, one character
const std::string kFlagDe = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";  // regional indicators D E
const std::string kFlagFr = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";  // regional indicators F R

TEST(Utf8Test, PrefixBytesKeepsWholeCharactersWithinTheLimit) {
  struct Case {
    std::string text;
    std::size_t limit;
    std::string prefix;
  };
  const Case cases[] = {
      {"M" + kUUmlaut + "ller", 2, "M"},  // the two-byte letter does not fit after "M"
      {kThumbsUpMedium + "ok", 7, ""},
      {kThumbsUpMedium + "ok", 9, kThumbsUpMedium + "o"},
      {"a" + ("e" + kAcute) + "x", 3, "a"},
      {kFamily + "!", 17, ""},
      {kFamily + "!", 18, kFamily},
      {kFlagDe + kFlagFr, 15, kFlagDe},  // regional indicators pair up from the start of the run
      {"a\r\nb", 2, "a"},                // CR LF is a single character
      {"ab\xFF\xFE", 3, "ab\xFF"},       // invalid bytes are characters of their own
      {"\xFF" + kAcute + "z", 2, "\xFF"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(prefixUtf8Bytes(c.text, c.limit), c.prefix) << c.text << " limit " << c.limit;
}

TEST(Utf8Test, CharacterCountsAndValidity) {
  // A lone regional indicator stands alone; a truncated sequence is three bad bytes.
  const std::pair<std::string, std::size_t> counts[] = {
      {"e" + kAcute + kAcute, 1}, {kFlagDe + "\xF0\x9F\x87\xAB", 2}, {"\n\r", 2}, {"\xF0\x9F\x91", 3}};
  for (const auto& [text, count] : counts)
    EXPECT_EQ(graphemeCount(text), count) << text;
  EXPECT_TRUE(isValidUtf8(kUUmlaut + kFamily + kFlagDe + kAcute + std::string("\0", 1) + "\xF4\x8F\xBF\xBF"));
  // Lone continuation, truncated, overlong, surrogate, beyond U+10FFFF.
  for (const char* bad : {"\xFF", "\x80", "ab\xC3",
                          "\xE2\x82"
                          "a",
                          "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"})
    EXPECT_FALSE(isValidUtf8(bad)) << bad;
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
      {"M" + kUUmlaut + "ller", "M" + kUUmlaut + "ller"},
  };
  for (const auto& [name, cleaned] : cases)
    EXPECT_EQ(cleanDisplayName(name, 256), cleaned) << name;
  // Cut on a code point boundary, even inside one long character.
  std::string marks = "a";
  for (int index = 0; index < 1000; ++index)
    marks += kAcute;
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
