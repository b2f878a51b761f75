// Text utilities: line pieces, tokens and the number formats.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "prm_support.h"

namespace {

using namespace quill;

std::vector<std::string> AllLines(const std::string &bytes) {
    ByteSource src(bytes.data(), bytes.size());
    std::vector<std::string> lines;
    char buf[kPrmLineMax + 1];
    while (ReadTextLine(buf, kPrmLineMax, src)) lines.emplace_back(buf);
    return lines;
}

TEST(TextLineTest, LinesEndOnlyAtCrLf) {
    const std::string a253(253, 'a'), b254(254, 'b');
    struct Case {
        std::string bytes;
        std::vector<std::string> lines;
    } cases[] = {
        {"AB\r\nCD\r\n", {"AB\n", "CD\n"}},
        {"AB\nCD\rEF\r\n", {"AB\nCD\rEF\n"}},     // lone LF and CR are bytes
        {"AB\r\nunfinished", {"AB\n"}},          // the unterminated tail is dropped
        {"\r\n", {"\n"}},
        {a253 + "\r\n", {a253 + "\n"}},          // 255 bytes with CR LF: one line
        // 254 bytes and CR LF: the piece ends on the CR; the LF starts the next piece.
        {b254 + "\r\nK\r\n", {b254 + "\r", "\nK\n"}},
        {std::string(600, 'x') + "\r\n", {std::string(255, 'x'), std::string(255, 'x'), std::string(90, 'x') + "\n"}},
    };
    for (const Case &c : cases) EXPECT_EQ(AllLines(c.bytes), c.lines) << c.bytes.substr(0, 20);
}

TEST(TextLineTest, EndlessLineAndNulBytesStayBounded) {
    std::string endless(1 << 20, 'Q');
    EXPECT_EQ(AllLines(endless).size(), endless.size() / kPrmLineMax);
    std::string nuls("A\0B\r\n", 5);
    ASSERT_EQ(AllLines(nuls).size(), 1u);
    EXPECT_STREQ(AllLines(nuls)[0].c_str(), "A");
}

TEST(TextTokenTest, TokensStopAtSeparatorsAndAreBounded) {
    char token[kPrmTokenMax + 1];
    size_t length = 0;
    const char *text = "ABC;x";
    const char *end = NextToken(text, token, sizeof token, " \t\n;", &length);
    EXPECT_STREQ(token, "ABC");
    EXPECT_EQ(end, text + 3);
    NextToken("AB\rCD", token, sizeof token, " ", &length);
    EXPECT_STREQ(token, "AB");
    std::string longText(40, 'Z');
    end = NextToken(longText.c_str(), token, sizeof token, " ", &length);
    EXPECT_EQ(length, 40u);  // the caller can tell it was cut
    EXPECT_EQ(std::string(token), std::string(kPrmTokenMax, 'Z'));
    EXPECT_EQ(*end, '\0');
    EXPECT_STREQ(SkipBlanksAnd(" = =\t x", '='), "x");
    EXPECT_STREQ(SkipBlanks(" \t\r\n=x"), "=x");
    EXPECT_TRUE(IsBlankLine(" \t\r\n"));
    EXPECT_TRUE(IsBlankLine(""));
    EXPECT_FALSE(IsBlankLine(" ;"));
}

TEST(TextNumberTest, HexAndDecimalFormats) {
    EXPECT_EQ(HexByte('a', 'F'), 0xAF);
    EXPECT_EQ(HexByte('G', '1'), 0x01);  // a non-hex character counts as 0
    EXPECT_EQ(HexWord("12zB"), 0x120B);
    EXPECT_EQ(HexLong("DEADbeef"), 0xDEADBEEFu);
    EXPECT_EQ(DecimalPair('4', '2'), 42);
    EXPECT_EQ(DecimalPair('x', '7'), 7);
    EXPECT_DOUBLE_EQ(FixedDecimal9("008000000"), 8.0);
    EXPECT_DOUBLE_EQ(FixedDecimal9("012345678"), 12 + 345 * 0.001 + 678 * 0.000001);
    EXPECT_DOUBLE_EQ(FixedDecimal9("1a2003004"), 1 + 3 * 0.001 + 4 * 0.000001);
    struct {
        const char *text;
        int32_t value;
    } decimals[] = {{"42", 42}, {"-7x", -7}, {"+3", 3}, {"abc", 0}, {"", 0},
                    {"99999999999999999", INT32_MAX}, {"-99999999999999999", INT32_MIN}};
    for (auto c : decimals) EXPECT_EQ(DecimalInteger(c.text), c.value) << c.text;
    struct {
        const char *text;
        uint32_t value;
    } hexes[] = {{"7FFF", 0x7FFF}, {"0x1f", 0x1F}, {"0xg", 0}, {"-1", 0xFFFFFFFFu}, {"123456789", 0x23456789u}};
    for (auto c : hexes) EXPECT_EQ(HexInteger(c.text), c.value) << c.text;
}

TEST(TextNumberTest, TimeCodesAndPowersOfTen) {
    EXPECT_EQ(DecimalDigits3(0x1503), 150u);
    EXPECT_EQ(DecimalExponentValue(0x1503), 150000u);
    EXPECT_EQ(DecimalExponentValue(0x999F), 999000000000000000ull);
    EXPECT_EQ(PowerOfTen(0), 1u);
    EXPECT_EQ(PowerOfTen(9), 1000000000u);
    EXPECT_EQ(PowerOfTen(10), 10000000000ull);  // beyond 32 bits, still exact
    EXPECT_EQ(PowerOfTen(19), 10000000000000000000ull);
    EXPECT_EQ(PowerOfTen(20), UINT64_MAX);  // saturates instead of wrapping
    EXPECT_EQ(PowerOfTen(0x10002), 100u);   // only the low 16 bits count
}

}  // namespace
