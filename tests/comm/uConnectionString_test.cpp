#include <gtest/gtest.h>

#include "uConnectionString.h"
#include "uExceptions.h"
#include "uProviderRegistry.h"
#include "uci_ICommunicationInterface.h"

using namespace kelvo;

TEST(ConnectionString, SplitsOnSemicolonsAndEveryLineBreak)
{
    TConnectionString cs("a=1;b=2\rc=3\nd=4\r\ne=5");
    EXPECT_EQ(cs.Value("a"), "1");
    EXPECT_EQ(cs.Value("b"), "2");
    EXPECT_EQ(cs.Value("c"), "3");
    EXPECT_EQ(cs.Value("d"), "4");
    EXPECT_EQ(cs.Value("e"), "5");
    // CR LF is one break, not an empty item in between that could hide a key.
    EXPECT_EQ(cs.Items().size(), 5u);
}

TEST(ConnectionString, KeysIgnoreCaseFirstWinsBlanksKept)
{
    TConnectionString cs("BaudRate=9600;baudrate=115200; comport=3;x;=7;k=a=b");
    EXPECT_EQ(cs.Value("baudrate"), "9600");
    EXPECT_EQ(cs.Value("BAUDRATE"), "9600");
    EXPECT_FALSE(cs.Has("comport"));  // the key is " comport"
    EXPECT_TRUE(cs.Has(" comport"));
    EXPECT_FALSE(cs.Has("x"));          // no "=", no key
    EXPECT_EQ(cs.Value(""), "7");       // an empty key is a key like any other
    EXPECT_EQ(cs.Value("k"), "a=b");    // the key ends at the first "="
    EXPECT_EQ(TConnectionString("a= 1 ").Value("a"), " 1 ");
}

TEST(ConnectionString, IntegersAreStrictAndRanged)
{
    TConnectionString cs("b=9600;n=-1;x=12a;e=;big=99999999999999999999;sp= 5");
    EXPECT_EQ(cs.IntValue("b", 0, INT32_MAX), 9600);
    EXPECT_FALSE(cs.IntValue("absent", 0, 1).has_value());
    EXPECT_THROW(cs.IntValue("n", 0, INT32_MAX), ERangeError);
    EXPECT_THROW(cs.IntValue("x", 0, 10), EConvertError);
    EXPECT_THROW(cs.IntValue("e", 0, 10), EConvertError);
    EXPECT_THROW(cs.IntValue("big", 0, 10), EConvertError);
    EXPECT_THROW(cs.IntValue("sp", 0, 10), EConvertError);
    EXPECT_THROW(cs.IntValue("b", 0, 255), ERangeError);
    try {
        cs.IntValue("x", 0, 10);
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'12a' is not a valid integer value");
    }
}

TEST(ConnectionString, BooleanText)
{
    EXPECT_TRUE(StrToBoolText("-1"));
    EXPECT_TRUE(StrToBoolText("5"));
    EXPECT_FALSE(StrToBoolText("0"));
    EXPECT_TRUE(StrToBoolText("tRuE"));
    EXPECT_FALSE(StrToBoolText("FALSE"));
    EXPECT_THROW(StrToBoolText("yes"), EConvertError);
    EXPECT_THROW(StrToBoolText(""), EConvertError);
    EXPECT_STREQ(BoolToConnText(true), "-1");
    EXPECT_STREQ(BoolToConnText(false), "0");
}

TEST(ConnectionString, StopBitsParityAndActiveValues)
{
    EXPECT_EQ(ParseStopBitsText("1"), 0);
    EXPECT_EQ(ParseStopBitsText("one"), 0);
    EXPECT_EQ(ParseStopBitsText("1,5"), 1);
    EXPECT_EQ(ParseStopBitsText("1.5"), 1);
    EXPECT_EQ(ParseStopBitsText("oneandhalf"), 1);
    EXPECT_EQ(ParseStopBitsText("TWO"), 2);
    EXPECT_FALSE(ParseStopBitsText("3").has_value());
    EXPECT_FALSE(ParseStopBitsText("One ").has_value());
    for (uint8_t code = 0; code < 3; ++code)
        EXPECT_EQ(ParseStopBitsText(StopBitsName(code)), code);

    EXPECT_EQ(ParseParityText("even"), 2);
    EXPECT_EQ(ParseParityText("SPACE"), 4);
    EXPECT_FALSE(ParseParityText("e").has_value());
    for (uint8_t code = 0; code < 5; ++code)
        EXPECT_EQ(ParseParityText(ParityName(code)), code);

    EXPECT_TRUE(IsActiveText("true"));
    EXPECT_TRUE(IsActiveText("TRUE"));
    EXPECT_TRUE(IsActiveText("1"));
    EXPECT_FALSE(IsActiveText("yes"));
    EXPECT_FALSE(IsActiveText("0"));
    EXPECT_FALSE(IsActiveText("01"));  // "1" must match exactly
    EXPECT_FALSE(IsActiveText("-1"));
}

namespace {
IntfPtr<ICommunicationInterface> CreateNothing(const std::string&) { return {}; }
const TCommunicationInterfaceClass ClassA{"TA", &CreateNothing};
const TCommunicationInterfaceClass ClassB{"TB", &CreateNothing};

size_t CountOf(const TCommunicationInterfaceClass* c)
{
    size_t n = 0;
    for (const auto& e : RegisteredProviders())
        n += e.ProviderClass == c;
    return n;
}
}  // namespace

TEST(ProviderRegistry, DuplicatesAllowedFirstPairRemoved)
{
    EXPECT_TRUE(RegisterProvider(&ClassA, "A1"));
    EXPECT_TRUE(RegisterProvider(&ClassB, "B"));
    EXPECT_TRUE(RegisterProvider(&ClassA, "A2"));
    EXPECT_EQ(CountOf(&ClassA), 2u);

    EXPECT_TRUE(UnregisterProvider(&ClassA));
    EXPECT_EQ(CountOf(&ClassA), 1u);
    // The first pair went; the later one, registered after B, stays.
    std::vector<std::string> names;
    for (const auto& e : RegisteredProviders())
        if (e.ProviderClass == &ClassA || e.ProviderClass == &ClassB)
            names.push_back(e.ProviderName);
    EXPECT_EQ(names, (std::vector<std::string>{"B", "A2"}));

    EXPECT_TRUE(UnregisterProvider(&ClassA));
    EXPECT_FALSE(UnregisterProvider(&ClassA));
    EXPECT_TRUE(UnregisterProvider(&ClassB));
    EXPECT_EQ(CountOf(&ClassB), 0u);
}

TEST(ConnectionString, AQuotedValueHoldsSeparatorsAndQuotes)
{
    TConnectionString cs("serial_number=\"AB;CD\";active=1;q=\"say \"\"hi\"\"\";lines=\"a\r\nb\";tail=\"x\"y;e=\"\"");
    EXPECT_EQ(cs.Value("serial_number"), "AB;CD");
    EXPECT_EQ(cs.Value("active"), "1");
    EXPECT_EQ(cs.Value("q"), "say \"hi\"");
    EXPECT_EQ(cs.Value("lines"), "a\r\nb");
    EXPECT_EQ(cs.Value("tail"), "xy") << "what follows the closing quote is part of the value";
    EXPECT_EQ(cs.Value("e"), "");
    EXPECT_EQ(cs.Items().size(), 6u);
    // A quote that is never closed quotes nothing: read as it always was.
    for (const char* text : {"a=\"AB;b=2", "a=\"x\"\"y;b=2"}) {
        TConnectionString open(text);
        EXPECT_EQ(open.Value("a"), std::string(text).substr(2, std::string(text).find(';') - 2)) << text;
        EXPECT_EQ(open.Value("b"), "2") << text;
    }
    // A quote inside a value is no quoting either.
    EXPECT_EQ(TConnectionString("a=x\"y;b=\"").Value("a"), "x\"y");
    EXPECT_EQ(TConnectionString("a=x\"y;b=\"").Value("b"), "\"");
}

TEST(ConnectionString, WritersQuoteOnlyWhatNeedsItAndEveryValueReadsBack)
{
    for (const std::string plain : {"", "FT12AB34", "A B", "x\"y", "a=b", "COM3", "\xC3\xA9\x01"})
        EXPECT_EQ(ConnectionValue(plain), plain) << "unchanged: " << plain;
    EXPECT_EQ(ConnectionValue("AB;CD"), "\"AB;CD\"");
    EXPECT_EQ(ConnectionValue("\"q"), "\"\"\"q\"");
    for (const std::string& v : std::vector<std::string>{"AB;CD", "X;active=1", "\"", "\"\"", "\";", "a\rb", "a\nb", "\"AB\"", ";", "a;\"b\";c",
                                std::string("nul\0;x", 6)}) {
        const TConnectionString cs("serial_number=" + ConnectionValue(v) + ";baudrate=9600");
        EXPECT_EQ(cs.Value("serial_number"), v);
        EXPECT_EQ(cs.Value("baudrate"), "9600");
        EXPECT_FALSE(cs.Has("active")) << "nothing injected by " << v;
    }
}
