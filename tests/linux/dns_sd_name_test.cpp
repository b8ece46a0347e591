#include <gtest/gtest.h>

#include <string>

#include "platform/linux/dnssd/dns_sd_name.hpp"
#include "platform/linux/icu_text.hpp"

namespace trovik {
namespace {

std::string repeat(std::string_view piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

const std::string kAcute = "\xCC\x81";  // U+0301 COMBINING ACUTE ACCENT

TEST(ServiceNameFitting, NamesThatFitOneLabelStayExactlyAsGiven) {
  for (const std::string& name : {std::string("Mac"), std::string("Ada's Laptop #2"),
                                  repeat("x", 63), repeat("\xC3\xA9", 31) + "x",
                                  std::string("Gr\xC3\xBC\xC3\x9F"
                                              "e. Box\\")}) {
    EXPECT_EQ(fitServiceName(name), name);
  }
}

TEST(ServiceNameFitting, LongNamesAreCutToTheLastWholeCharacterWithinSixtyThreeBytes) {
  struct Case {
    const char* what;
    std::string name;
    std::size_t expectedBytes;
  };
  const Case cases[] = {
      {"ASCII", repeat("x", 64), 63},
      {"two-byte letters, the 32nd would end at byte 64", repeat("\xC3\xA9", 32), 62},
      {"three-byte letters ending exactly at 63", repeat("\xE6\x97\xA5", 22), 63},
      {"four-byte emoji", repeat("\xF0\x9F\x98\x80", 16), 60},
      {"one ASCII byte short, then a two-byte letter", repeat("x", 62) + "\xC3\xA9", 62},
      // A code point cut would keep the bare "e" and drop its accent.
      {"base letter and combining accent across the limit", repeat("x", 62) + "e" + kAcute, 62},
      // A code point cut would leave half a flag (one regional indicator).
      {"flag across the limit", repeat("x", 58) + "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 58},
      {"emoji ZWJ sequence across the limit",
       repeat("x", 55) + "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB", 55},
      // One character longer than a label: only code point boundaries remain.
      {"single grapheme of 81 bytes", "e" + repeat(kAcute, 40), 63},
      {"single grapheme, three-byte marks", "e" + repeat("\xE2\x83\x9D", 30), 61},
  };
  const IcuText text;
  for (const auto& c : cases) {
    const auto fitted = fitServiceName(c.name);
    ASSERT_TRUE(fitted.has_value()) << c.what;
    EXPECT_EQ(fitted->size(), c.expectedBytes) << c.what;
    EXPECT_LE(fitted->size(), kMaxServiceNameBytes) << c.what;
    EXPECT_EQ(c.name.substr(0, fitted->size()), *fitted) << c.what;
    EXPECT_TRUE(text.decodeUtf8(*fitted).has_value()) << c.what;
  }
}

TEST(ServiceNameFitting, RefusesNamesNoResponderCanCarry) {
  for (const std::string& bad :
       {std::string(), std::string("a\0b", 3), std::string("\xFF"), std::string("Mac\xC3"),
        std::string("\xC0\xAF"), std::string("\xED\xA0\x80"), repeat("x", 70) + "\x80"}) {
    EXPECT_FALSE(fitServiceName(bad).has_value()) << testing::PrintToString(bad);
  }
}

}  // namespace
}  // namespace trovik
