#pragma once
// The XML element that a noded interface mirrors its properties in. comm/
// sees only this abstract, counted element; the libxml2 wrapper of the XML
// helpers (uXmlDocument) implements it, and tests can supply a plain map.

#include <string>

#include "ui_MyInterfacedObject.h"

namespace kelvo {

class IXMLElement : public virtual IUnknown {
public:
    static constexpr TGUID IID{0x5B0C2E61, 0x7A43, 0x4D1E, {0x9F, 0x20, 0x6C, 0x1D, 0x84, 0x3B, 0xA2, 0x57}};

    virtual bool HasAttribute(const std::string& Name) = 0;
    // The attribute's text; empty when it is absent.
    virtual std::string GetAttribute(const std::string& Name) = 0;
    virtual void SetAttribute(const std::string& Name, const std::string& Value) = 0;

protected:
    ~IXMLElement() = default;
};

}  // namespace kelvo
