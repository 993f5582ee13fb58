#include <gtest/gtest.h>

#include <clocale>
#include <map>
#include <stdexcept>

#include "uXmlUtils.h"

using namespace kelvo;

namespace {

// An element that is just a map, as a caller without libxml2 would supply.
class TMapElement : public TMyInterfacedObject, public IXMLElement {
public:
    std::map<std::string, std::string> Attrs;
    bool FailReads = false;

    bool HasAttribute(const std::string& Name) override
    {
        if (FailReads)
            throw std::runtime_error("element gone");
        return Attrs.count(Name) != 0;
    }
    std::string GetAttribute(const std::string& Name) override
    {
        auto it = Attrs.find(Name);
        return it == Attrs.end() ? std::string() : it->second;
    }
    void SetAttribute(const std::string& Name, const std::string& Value) override { Attrs[Name] = Value; }

protected:
    void* GetInterface(const TGUID& IID) override
    {
        if (IID == IXMLElement::IID)
            return static_cast<IXMLElement*>(this);
        return TMyInterfacedObject::GetInterface(IID);
    }
};

std::string MessageOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(nothing raised)";
}

}  // namespace

TEST(XmlUtils, PresenceReadReportsAttributeAndNeverRaises)
{
    auto el = MakeIntf<TMapElement>();
    el->Attrs = {{"name", "COM3"}, {"blank", ""}};
    std::string v = "untouched";
    EXPECT_TRUE(TryGetAttribute(el.get(), "name", v));
    EXPECT_EQ(v, "COM3");
    EXPECT_TRUE(TryGetAttribute(el.get(), "blank", v));  // present but empty
    EXPECT_EQ(v, "");
    v = "untouched";
    EXPECT_FALSE(TryGetAttribute(el.get(), "Name", v));  // names are exact
    EXPECT_FALSE(TryGetAttribute(nullptr, "name", v));
    el->FailReads = true;
    EXPECT_FALSE(TryGetAttribute(el.get(), "name", v));
    EXPECT_EQ(v, "untouched");
}

TEST(XmlUtils, ReadWithDefaultRaisesForNullAndEmptyResultsOnly)
{
    auto el = MakeIntf<TMapElement>();
    el->Attrs = {{"id", "$409"}, {"blank", ""}};
    EXPECT_EQ(GetAttributeDef(el.get(), "id", "-1"), TXmlValue("$409"));
    EXPECT_EQ(GetAttributeDef(el.get(), "name", "?"), TXmlValue("?"));
    EXPECT_EQ(GetAttributeDef(nullptr, "name", 5), TXmlValue(5));
    // An attribute that is there satisfies a Null or Empty default, even
    // with an empty text.
    EXPECT_EQ(GetAttributeDef(el.get(), "id", TXmlValue::Null()), TXmlValue("$409"));
    EXPECT_EQ(GetAttributeDef(el.get(), "blank", TXmlValue()), TXmlValue(""));

    EXPECT_EQ(MessageOf([&] { GetAttributeDef(el.get(), "name", TXmlValue::Null()); }), "Variant is Null !!!! ***");
    EXPECT_EQ(MessageOf([&] { GetAttributeDef(el.get(), "name", TXmlValue()); }), "Variant is Empty !!!! ***");
    EXPECT_EQ(MessageOf([&] { GetAttributeDef(nullptr, "name", TXmlValue::Null()); }), "Variant is Null !!!! ***");
}

TEST(XmlUtils, DecimalSeparatorsBecomeTheLocalesAndNumbersConvert)
{
    auto el = MakeIntf<TMapElement>();
    el->Attrs = {{"dot", "3.25"}, {"comma", "-3,25"}, {"exp", " 1,5e2 "}, {"bad", "3.2.1"},
                 {"inf", "inf"},  {"hex", "0x10"},    {"word", "abc"},     {"empty", ""}};
    const std::string sep = LocaleDecimalSeparator();
    EXPECT_EQ(GetAttributeDef(el.get(), "dot", "", true).AsString(), "3" + sep + "25");
    EXPECT_EQ(GetAttributeDef(el.get(), "comma", "", true).AsString(), "-3" + sep + "25");
    EXPECT_EQ(GetAttributeDef(el.get(), "comma", "").AsString(), "-3,25");  // only when asked
    EXPECT_EQ(GetAttributeDef(el.get(), "missing", "0,5", true).AsString(), "0" + sep + "5");

    EXPECT_DOUBLE_EQ(GetAttributeFloat(el.get(), "dot", 0), 3.25);
    EXPECT_DOUBLE_EQ(GetAttributeFloat(el.get(), "comma", 0), -3.25);
    EXPECT_DOUBLE_EQ(GetAttributeFloat(el.get(), "exp", 0), 150.0);
    EXPECT_DOUBLE_EQ(GetAttributeFloat(el.get(), "missing", 2.5), 2.5);
    for (const char* name : {"bad", "inf", "hex", "word", "empty"})
        EXPECT_THROW(GetAttributeFloat(el.get(), name, 0), EConvertError) << name;
}

TEST(XmlUtils, CommaLocaleIsHonoured)
{
    const char* candidates[] = {"cs_CZ.UTF-8", "de_DE.UTF-8", "cs_CZ.utf8", "de_DE.utf8"};
    std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    const char* found = nullptr;
    for (const char* c : candidates)
        if (std::setlocale(LC_NUMERIC, c)) {
            found = c;
            break;
        }
    if (!found)
        GTEST_SKIP() << "no locale with a decimal comma installed";
    auto el = MakeIntf<TMapElement>();
    el->Attrs = {{"dot", "3.25"}};
    std::string text = GetAttributeDef(el.get(), "dot", "", true).AsString();
    double value = GetAttributeFloat(el.get(), "dot", 0);
    std::setlocale(LC_NUMERIC, previous.c_str());
    EXPECT_EQ(text, "3,25");
    EXPECT_DOUBLE_EQ(value, 3.25);
}

TEST(XmlUtils, BooleanAndIntegerTexts)
{
    auto el = MakeIntf<TMapElement>();
    el->Attrs = {{"t", "true"}, {"F", "FALSE"}, {"one", " 1 "}, {"zero", "0"}, {"minus", "-1"},
                 {"yes", "yes"}, {"blank", ""},  {"half", "4.5"}, {"huge", "99999999999999999999"},
                 {"plus", "+7"}};
    EXPECT_TRUE(GetAttributeBool(el.get(), "t", false));
    EXPECT_FALSE(GetAttributeBool(el.get(), "F", true));
    EXPECT_TRUE(GetAttributeBool(el.get(), "one", false));
    EXPECT_FALSE(GetAttributeBool(el.get(), "zero", true));
    EXPECT_TRUE(GetAttributeBool(el.get(), "minus", false));
    EXPECT_TRUE(GetAttributeBool(el.get(), "missing", true));
    EXPECT_FALSE(GetAttributeBool(nullptr, "t", false));
    EXPECT_THROW(GetAttributeBool(el.get(), "yes", true), EConvertError);
    EXPECT_THROW(GetAttributeBool(el.get(), "blank", true), EConvertError);

    // What is written for a Boolean reads back as that Boolean.
    for (bool b : {true, false}) {
        el->SetAttribute("enabled", XmlBoolText(b));
        EXPECT_EQ(GetAttributeBool(el.get(), "enabled", !b), b);
    }

    EXPECT_EQ(GetAttributeInt(el.get(), "plus", 0), 7);
    EXPECT_EQ(GetAttributeInt(el.get(), "minus", 0), -1);
    EXPECT_EQ(GetAttributeInt(el.get(), "missing", 42), 42);
    EXPECT_THROW(GetAttributeInt(el.get(), "half", 0), EConvertError);
    EXPECT_THROW(GetAttributeInt(el.get(), "huge", 0), EConvertError);
    EXPECT_THROW(TXmlValue::Null().AsString(), EConvertError);
    EXPECT_THROW(TXmlValue().AsInteger(), EConvertError);
}
