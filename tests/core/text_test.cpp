#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "app/log_escape.hpp"
#include "platform/linux/icu_text.hpp"

namespace trovik {
namespace {

const IcuText text;

TEST(Utf8Decoding, AcceptsWellFormedAndRejectsEveryIllFormedShape) {
  EXPECT_EQ(text.decodeUtf8(""), "");
  EXPECT_EQ(text.decodeUtf8("SPACE"), "SPACE");
  EXPECT_EQ(text.decodeUtf8("\xC3\xA9"), "\xC3\xA9");                  // é
  EXPECT_EQ(text.decodeUtf8("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF");  // U+10FFFF
  EXPECT_EQ(text.decodeUtf8(std::string_view("a\0b", 3)), std::string("a\0b", 3));

  for (const char* bad : {
           "\xC0\xAF",          // overlong slash
           "\xE0\x80\xAF",      // overlong, three bytes
           "\xED\xA0\x80",      // surrogate U+D800
           "\xF4\x90\x80\x80",  // above U+10FFFF
           "\xFF",              // never valid
           "\xC3",              // truncated
           "abc\x80",           // stray continuation
       }) {
    EXPECT_FALSE(text.decodeUtf8(bad).has_value()) << testing::PrintToString(bad);
  }
}

TEST(Trimming, RemovesExactlyTheWhitespaceAndNewlineSetAtBothEnds) {
  EXPECT_EQ(text.trimWhitespaceAndNewlines("  SPACE\r\n"), "SPACE");
  EXPECT_EQ(text.trimWhitespaceAndNewlines("\t\v\f hello \x0B"), "hello");
  EXPECT_EQ(text.trimWhitespaceAndNewlines("\xC2\x85x\xC2\xA0"), "x");          // NEL, NBSP
  EXPECT_EQ(text.trimWhitespaceAndNewlines("\xE2\x80\xA8x\xE3\x80\x80"), "x");  // U+2028, U+3000
  EXPECT_EQ(text.trimWhitespaceAndNewlines("a b"), "a b");                      // inner space stays
  EXPECT_EQ(text.trimWhitespaceAndNewlines(" \n\t "), "");
  // Not in the set: zero-width space (Cf) and the information separators U+001C..U+001F.
  EXPECT_EQ(text.trimWhitespaceAndNewlines("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");
  EXPECT_EQ(text.trimWhitespaceAndNewlines("\x1Cx"), "\x1Cx");
}

TEST(LowerCasing, UsesTheFullLocaleIndependentMapping) {
  EXPECT_EQ(text.lowercased("HELLO"), "hello");
  EXPECT_EQ(text.lowercased("\xC3\x89"), "\xC3\xA9");  // É -> é
  // İ (U+0130) lower-cases to i + combining dot above outside Turkish locales.
  EXPECT_EQ(text.lowercased("\xC4\xB0"), "i\xCC\x87");
  EXPECT_EQ(text.lowercased("Com.Apple.FinalCut"), "com.apple.finalcut");
}

TEST(FirstCharacter, IsOneGraphemeCluster) {
  EXPECT_EQ(text.firstCharacter(""), "");
  EXPECT_EQ(text.firstCharacter("abc"), "a");
  EXPECT_EQ(text.firstCharacter("e\xCC\x81x"), "e\xCC\x81");           // e + combining acute
  EXPECT_EQ(text.firstCharacter("\r\nx"), "\r\n");                     // CR LF is one
  EXPECT_EQ(text.firstCharacter("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA!"),  // flag: two regional
            "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA");                       // indicators
}

TEST(LogEscaping, EscapesLineBreakingAndControlCharactersOnly) {
  EXPECT_EQ(escapeForLog("SPACE"), "SPACE");
  EXPECT_EQ(escapeForLog("\\"), "\\");
  EXPECT_EQ(escapeForLog("a\nTrovik: forged"), "a\\nTrovik: forged");
  EXPECT_EQ(escapeForLog("\r\t"), "\\r\\t");
  EXPECT_EQ(escapeForLog(std::string_view("\0\x1B\x7F", 3)), "\\u{0}\\u{1b}\\u{7f}");
  EXPECT_EQ(escapeForLog("\xC2\x85\xC2\x9F"), "\\u{85}\\u{9f}");  // C1 controls
  EXPECT_EQ(escapeForLog("x\xE2\x80\xA8y\xE2\x80\xA9"), "x\\u{2028}y\\u{2029}");
  // Bidirectional controls and the byte-order mark, which would reorder or hide the line.
  EXPECT_EQ(escapeForLog("\xE2\x80\xAA"
                         "a\xE2\x80\xAE\xE2\x81\xA6\xE2\x81\xA9\xEF\xBB\xBF"),
            "\\u{202a}a\\u{202e}\\u{2066}\\u{2069}\\u{feff}");
  EXPECT_EQ(escapeForLog("\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xAA"),
            "\\u{2029}\xE2\x80\xAF\xE2\x81\xAA");
  EXPECT_EQ(escapeForLog("caf\xC3\xA9 \xE2\x86\x92"), "caf\xC3\xA9 \xE2\x86\x92");  // kept
}

}  // namespace
}  // namespace trovik

namespace trovik {
namespace {

// Commands of different clients are parsed on different threads at once, each thread
// meeting the grapheme rules for the first time.
TEST(FirstCharacter, IsSafeFromManyThreadsAtOnce) {
  const IcuText shared;
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int n = 0; n < 50; ++n) {
        if (shared.firstCharacter(shared.lowercased("E\xCC\x81x")) != "e\xCC\x81") ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace trovik
