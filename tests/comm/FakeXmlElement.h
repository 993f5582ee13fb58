#pragma once
// An XML element for tests: attributes in a map, nothing else.

#include <map>
#include <string>

#include "uiXmlElement.h"

namespace kelvo::test {

class TFakeXMLElement : public TMyInterfacedObject, public virtual IXMLElement {
public:
    bool HasAttribute(const std::string& Name) override { return FAttributes.count(Name) != 0; }
    std::string GetAttribute(const std::string& Name) override
    {
        auto it = FAttributes.find(Name);
        return it == FAttributes.end() ? std::string() : it->second;
    }
    void SetAttribute(const std::string& Name, const std::string& Value) override { FAttributes[Name] = Value; }

    std::map<std::string, std::string> FAttributes;

protected:
    void* GetInterface(const TGUID& IID) override
    {
        if (IID == IXMLElement::IID)
            return static_cast<IXMLElement*>(this);
        return TMyInterfacedObject::GetInterface(IID);
    }
};

}  // namespace kelvo::test
