#include "platform/utf16.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tests/unit/named_case.h"

namespace {

struct TextCase : NamedCase {
    TextCase(const char* caseName, std::string utf8Text, std::u16string utf16Text)
        : NamedCase(caseName), utf8(std::move(utf8Text)), utf16(std::move(utf16Text)) {}
    std::string utf8;
    std::u16string utf16;
};

class Utf16RoundTrip : public ::testing::TestWithParam<TextCase> {};

TEST_P(Utf16RoundTrip, BothWays) {
    const TextCase& c = GetParam();
    EXPECT_EQ(Utf8ToUtf16<char16_t>(c.utf8), c.utf16);
    EXPECT_EQ(Utf16ToUtf8(std::u16string_view(c.utf16)), c.utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf16RoundTrip,
    ::testing::Values(TextCase{"Empty", "", u""},
                      TextCase{"Ascii", "C:\\Tools\\Zelmora.exe", u"C:\\Tools\\Zelmora.exe"},
                      TextCase{"Latin1", "Z\xc3\xbcrich \xc2\xa0", u"Z\u00fcrich \u00a0"},
                      TextCase{"Cyrillic", "\xd0\x9f\xd1\x80\xd0\xbe\xd0\xb3",
                               u"\u041f\u0440\u043e\u0433"},
                      TextCase{"Cjk", "\xe6\x99\x82\xe8\xa8\x88", u"\u6642\u8a08"},
                      TextCase{"LastOfTheBasicPlane", "\xef\xbf\xbf", u"\uffff"},
                      TextCase{"SurrogatePair", "\xf0\x9f\x95\x90", u"\U0001f550"},
                      TextCase{"HighestCodePoint", "\xf4\x8f\xbf\xbf", u"\U0010ffff"},
                      TextCase{"NulInside", std::string("a\0b", 3), std::u16string(u"a\0b", 3)}));

// Malformed UTF-8: each bad byte becomes one U+FFFD, and what follows is read normally.
class Utf8Malformed : public ::testing::TestWithParam<TextCase> {};

TEST_P(Utf8Malformed, ReplacedNotFollowed) {
    EXPECT_EQ(Utf8ToUtf16<char16_t>(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Malformed,
    ::testing::Values(TextCase{"StrayContinuation", "a\x80z", u"a\ufffdz"},
                      TextCase{"Cp1252Byte", "caf\xe9", u"caf\ufffd"},
                      TextCase{"CutShortAtTheEnd", "a\xe6\x99", u"a\ufffd\ufffd"},
                      TextCase{"LeadBeforeAscii", "\xd0z", u"\ufffdz"},
                      TextCase{"OverlongSlash", "\xc0\xaf", u"\ufffd\ufffd"},
                      TextCase{"OverlongThreeBytes", "\xe0\x80\xaf", u"\ufffd\ufffd\ufffd"},
                      TextCase{"EncodedSurrogate", "\xed\xa0\x80", u"\ufffd\ufffd\ufffd"},
                      TextCase{"BeyondLastCodePoint", "\xf4\x90\x80\x80",
                               u"\ufffd\ufffd\ufffd\ufffd"},
                      TextCase{"ByteFF", "\xff", u"\ufffd"}));

// Lone surrogates in UTF-16 (possible in Windows names) become U+FFFD.
class Utf16Malformed : public ::testing::TestWithParam<TextCase> {};

TEST_P(Utf16Malformed, Replaced) {
    EXPECT_EQ(Utf16ToUtf8(std::u16string_view(GetParam().utf16)), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(Table, Utf16Malformed,
                         ::testing::Values(TextCase{"LoneHighAtTheEnd", "a\xef\xbf\xbd",
                                                    std::u16string(u"a") + char16_t{0xd83d}},
                                           TextCase{"LoneLow",
                                                    "\xef\xbf\xbd"
                                                    "b",
                                                    std::u16string(1, char16_t{0xdc00}) + u"b"},
                                           TextCase{"HighBeforeAscii", "\xef\xbf\xbdx",
                                                    std::u16string(1, char16_t{0xd800}) + u"x"}));

}  // namespace
