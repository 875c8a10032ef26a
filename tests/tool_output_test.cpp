// The text and number rules by which tool output becomes progress numbers.
#include <gtest/gtest.h>

#include <cmath>

#include "base/ToolOutput.h"

namespace vantrel {
namespace {

TEST(DecimalValueTest, TheWholeTextMustBeANumber) {
    const std::pair<const char*, double> numbers[] = {
        {"45.5", 45.5}, {"100", 100}, {"0", 0},    {"-1", -1.0},        {"1e2", 100},
        {"+7", 7},      {"0x10", 16}, {".5", 0.5}, {"45.500000", 45.5}, {"-0.25", -0.25},
    };
    for (const auto& [text, value] : numbers) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(decimalValue(text));
        EXPECT_EQ(*decimalValue(text), value);
    }
    EXPECT_TRUE(std::isinf(decimalValue("inf").value_or(0)));
    EXPECT_TRUE(std::isnan(decimalValue("nan").value_or(0)));

    for (const char* text : {"", ".", " 45.5", "45.5 ", "4,5", "45.5.1", "45%", "45\n", "4\n5",
                             "\t45", "abc", "45abc", "-", "e5"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(decimalValue(text));
    }
    // A digit of another script, or any other non-ASCII character, is never a number.
    EXPECT_FALSE(decimalValue("\xd9\xa4\xd9\xa5"));  // Arabic-Indic 4 and 5
    EXPECT_FALSE(decimalValue("45\xc2\xa0"));
    // A NUL inside the text does not cut it short.
    EXPECT_FALSE(decimalValue(std::string_view("45\0001", 4)));
}

TEST(MarkerTest, ContainsAndRemovingAll) {
    EXPECT_TRUE(textContains("xx Preparing: 4%", "Preparing: "));
    EXPECT_FALSE(textContains("xx preparing: 4%", "Preparing: "));
    EXPECT_FALSE(textContains("Preparing:4%", "Preparing: "));
    EXPECT_FALSE(textContains("anything", ""));

    EXPECT_EQ(removingAll("45%%", "%"), "45");
    EXPECT_EQ(removingAll("Error: a Error: b", "Error: "), "a b");
    EXPECT_EQ(removingAll("aaa", "aa"), "a");  // left to right, no overlap
    EXPECT_EQ(removingAll("unchanged", "%"), "unchanged");
    EXPECT_EQ(removingAll("", "%"), "");
}

TEST(TrimmedTextTest, RemovesWhiteSpaceAndLineEndsAtBothEndsOnly) {
    EXPECT_EQ(trimmedText("  Preparing: 45%\r\n"), "Preparing: 45%");
    EXPECT_EQ(trimmedText("two words"), "two words");
    EXPECT_EQ(trimmedText("\t\v\f x \x0b"), "x");
    // Unicode blanks and separators: no-break space, em space, line and paragraph separators,
    // next line.
    EXPECT_EQ(trimmedText("\xc2\xa0\xe2\x80\x83x\xe2\x80\xa8\xe2\x80\xa9\xc2\x85"), "x");
    EXPECT_EQ(trimmedText(" \n "), "");
    // Not white space: a zero-width space and a lone invalid byte stay.
    EXPECT_EQ(trimmedText("\xe2\x80\x8bx"), "\xe2\x80\x8bx");
    EXPECT_EQ(trimmedText("x\xff "), "x\xff");
}

TEST(KeepingOnlyTest, KeepsTheAllowedCharactersInOrder) {
    EXPECT_EQ(keepingOnly("installer:%45.5 done%", "0123456789."), "45.5");
    EXPECT_EQ(keepingOnly("abc", "0123456789."), "");
    EXPECT_EQ(keepingOnly("1\xd9\xa4"
                          "2",
                          "0123456789."),
              "12");
}

TEST(ChunkTextTest, DecodesUtf8OrGivesNothing) {
    EXPECT_EQ(chunkText(""), std::optional<std::string>(""));
    EXPECT_EQ(chunkText("Preparing: 5%\n"), std::optional<std::string>("Preparing: 5%\n"));
    EXPECT_EQ(chunkText("caf\xc3\xa9"), std::optional<std::string>("caf\xc3\xa9"));
    for (const char* bad : {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        EXPECT_FALSE(chunkText(bad)) << bad;
    }
    EXPECT_EQ(decodeUtf8Leniently("a\xff"
                                  "b"),
              "a\xef\xbf\xbd"
              "b");
    // A character cut between two reads is held back whole.
    EXPECT_EQ(completeUtf8Prefix("ab\xe2\x80"), 2u);
    EXPECT_EQ(completeUtf8Prefix("ab\xe2\x80\x83"), 5u);
    EXPECT_EQ(completeUtf8Prefix("ab"), 2u);
}

TEST(ChunkDecoderTest, ACharacterCutBetweenReadsIsKeptWholeAndTheEndIsFlushed) {
    ChunkDecoder decoder;
    EXPECT_EQ(decoder.decode("caf\xC3"), "caf");
    EXPECT_EQ(decoder.decode("\xA9 \xFF!"), "\xC3\xA9 \xEF\xBF\xBD!");
    EXPECT_EQ(decoder.decode("\xE2\x82"), "");
    EXPECT_EQ(decoder.finish(), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace vantrel
