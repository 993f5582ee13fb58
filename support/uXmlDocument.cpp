#include "uXmlDocument.h"

#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>

#include <libxml/encoding.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>

namespace kelvo {

namespace xmldetail {

// One parsed tree, shared by the document and every element taken from it.
struct TTree {
    explicit TTree(xmlDocPtr Doc) : Doc(Doc) {}
    ~TTree() { xmlFreeDoc(Doc); }
    TTree(const TTree&) = delete;
    TTree& operator=(const TTree&) = delete;

    // The counted wrapper of one element of this tree; empty for nullptr.
    static IntfPtr<TXmlElement> Wrap(const std::shared_ptr<TTree>& Tree, xmlNodePtr Node)
    {
        if (!Node)
            return {};
        return MakeIntf<TXmlElement>(TXmlElement::TKey{}, Tree, reinterpret_cast<_xmlNode*>(Node));
    }

    xmlDocPtr Doc;
    std::filesystem::path FileName;
};

}  // namespace xmldetail

namespace {

using xmldetail::TTree;

// Reading: no entity substitution, no external DTD, no network, no
// messages on standard error; blank text between elements is dropped so
// that a saved document is indented cleanly.
constexpr int ParseOptions = XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

void InitLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

const xmlChar* X(const std::string& s)
{
    return reinterpret_cast<const xmlChar*>(s.c_str());
}

std::string S(const xmlChar* s)
{
    return s ? std::string(reinterpret_cast<const char*>(s)) : std::string();
}

// Takes over a string that libxml2 allocated.
std::string Take(xmlChar* s)
{
    std::string r = S(s);
    xmlFree(s);
    return r;
}

std::string QualifiedName(const xmlChar* Name, const xmlNs* Ns)
{
    std::string r;
    if (Ns && Ns->prefix) {
        r = S(Ns->prefix);
        r += ':';
    }
    r += S(Name);
    return r;
}

xmlAttrPtr FindAttribute(xmlNodePtr Node, std::string_view Name)
{
    for (xmlAttrPtr a = Node->properties; a; a = a->next)
        if (QualifiedName(a->name, a->ns) == Name)
            return a;
    return nullptr;
}

std::string AttributeValue(xmlAttrPtr Attr)
{
    return Take(xmlNodeListGetString(Attr->doc, Attr->children, 1));
}

void CheckName(const std::string& Name)
{
    if (Name.empty() || xmlValidateQName(X(Name), 0) != 0)
        throw EXmlError("Invalid XML name \"" + Name + "\"");
}

// UTF-8 that XML 1.0 can carry: no control characters other than tab,
// line feed and carriage return.
void CheckText(const std::string& Text)
{
    if (!xmlCheckUTF8(X(Text)) || std::strlen(Text.c_str()) != Text.size())
        throw EXmlError("XML text is not valid UTF-8");
    for (unsigned char c : Text)
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            throw EXmlError("XML text contains control characters");
}

std::string ParseErrorText(xmlParserCtxtPtr Ctxt, const std::string& Where)
{
    std::string text = "XML error in " + Where;
    if (const xmlError* e = xmlCtxtGetLastError(Ctxt)) {
        if (e->line > 0)
            text += " (line " + std::to_string(e->line) + ")";
        if (e->message) {
            std::string m = e->message;
            while (!m.empty() && (m.back() == '\n' || m.back() == '\r'))
                m.pop_back();
            text += ": " + m;
        }
    } else {
        text += ": not well-formed";
    }
    return text;
}

std::shared_ptr<TTree> Parse(std::string_view Data, const std::string& Where)
{
    InitLibrary();
    if (Data.size() > static_cast<size_t>(INT_MAX))
        throw EXmlError("XML document too large: " + Where);
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (!ctxt)
        throw EXmlError("Out of memory while parsing " + Where);
    xmlDocPtr doc = xmlCtxtReadMemory(ctxt, Data.data(), static_cast<int>(Data.size()), nullptr, nullptr,
                                      ParseOptions);
    if (!doc || !ctxt->wellFormed || !xmlDocGetRootElement(doc)) {
        std::string text = ParseErrorText(ctxt, Where);
        if (doc)
            xmlFreeDoc(doc);
        xmlFreeParserCtxt(ctxt);
        throw EXmlError(text);
    }
    xmlFreeParserCtxt(ctxt);
    return std::make_shared<TTree>(doc);
}

}  // namespace

// --- TXmlElement ---------------------------------------------------------------

TXmlElement::TXmlElement(TKey, std::shared_ptr<xmldetail::TTree> Tree, _xmlNode* Node)
    : FTree(std::move(Tree)), FNode(Node)
{
}

void* TXmlElement::GetInterface(const TGUID& IID)
{
    if (IID == IXMLElement::IID)
        return static_cast<IXMLElement*>(this);
    return TMyInterfacedObject::GetInterface(IID);
}

std::string TXmlElement::Name() const
{
    return QualifiedName(FNode->name, FNode->ns);
}

bool TXmlElement::HasAttribute(const std::string& Name)
{
    return FindAttribute(FNode, Name) != nullptr;
}

std::string TXmlElement::GetAttribute(const std::string& Name)
{
    xmlAttrPtr a = FindAttribute(FNode, Name);
    return a ? AttributeValue(a) : std::string();
}

void TXmlElement::SetAttribute(const std::string& Name, const std::string& Value)
{
    CheckName(Name);
    CheckText(Value);
    xmlAttrPtr done;
    if (xmlAttrPtr a = FindAttribute(FNode, Name))
        done = xmlSetNsProp(FNode, a->ns, a->name, X(Value));
    else
        done = xmlSetProp(FNode, X(Name), X(Value));
    if (!done)
        throw EXmlError("Cannot set XML attribute \"" + Name + "\"");
}

bool TXmlElement::RemoveAttribute(const std::string& Name)
{
    xmlAttrPtr a = FindAttribute(FNode, Name);
    if (!a)
        return false;
    return xmlRemoveProp(a) == 0;
}

std::vector<std::pair<std::string, std::string>> TXmlElement::Attributes() const
{
    std::vector<std::pair<std::string, std::string>> result;
    for (xmlAttrPtr a = FNode->properties; a; a = a->next)
        result.emplace_back(QualifiedName(a->name, a->ns), AttributeValue(a));
    return result;
}

std::vector<IntfPtr<TXmlElement>> TXmlElement::ChildElements() const
{
    std::vector<IntfPtr<TXmlElement>> result;
    for (xmlNodePtr c = FNode->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE)
            result.push_back(TTree::Wrap(FTree, c));
    return result;
}

IntfPtr<TXmlElement> TXmlElement::FindChild(std::string_view Name) const
{
    for (xmlNodePtr c = FNode->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE && QualifiedName(c->name, c->ns) == Name)
            return TTree::Wrap(FTree, c);
    return {};
}

IntfPtr<TXmlElement> TXmlElement::AppendChild(const std::string& Name)
{
    CheckName(Name);
    xmlNodePtr child = xmlNewDocNode(FTree->Doc, nullptr, X(Name), nullptr);
    if (!child)
        throw EXmlError("Cannot create XML element \"" + Name + "\"");
    if (!xmlAddChild(FNode, child)) {
        xmlFreeNode(child);
        throw EXmlError("Cannot append XML element \"" + Name + "\"");
    }
    return TTree::Wrap(FTree, child);
}

IntfPtr<TXmlElement> TXmlElement::ParentElement() const
{
    xmlNodePtr p = FNode->parent;
    if (p && p->type == XML_ELEMENT_NODE)
        return TTree::Wrap(FTree, p);
    return {};
}

std::string TXmlElement::Text() const
{
    return Take(xmlNodeGetContent(FNode));
}

// --- TXmlDocument ----------------------------------------------------------------

TXmlDocument::TXmlDocument() = default;
TXmlDocument::~TXmlDocument() = default;
TXmlDocument::TXmlDocument(TXmlDocument&&) noexcept = default;
TXmlDocument& TXmlDocument::operator=(TXmlDocument&&) noexcept = default;

void TXmlDocument::LoadFromFile(const std::filesystem::path& FileName)
{
    // The file is read here, not by libxml2, so that a name can only ever
    // mean a local file.
    std::ifstream in(FileName, std::ios::binary);
    if (!in)
        throw EXmlError("Cannot open XML file " + FileName.string());
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw EXmlError("Cannot read XML file " + FileName.string());
    std::shared_ptr<TTree> tree = Parse(data, FileName.string());
    tree->FileName = FileName;
    FTree = std::move(tree);
}

void TXmlDocument::LoadFromString(std::string_view Text)
{
    FTree = Parse(Text, "XML text");
}

IntfPtr<TXmlElement> TXmlDocument::CreateDocument(const std::string& RootName)
{
    CheckName(RootName);
    InitLibrary();
    xmlDocPtr doc = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
    if (!doc)
        throw EXmlError("Cannot create XML document");
    auto tree = std::make_shared<TTree>(doc);
    xmlNodePtr root = xmlNewDocNode(doc, nullptr, X(RootName), nullptr);
    if (!root)
        throw EXmlError("Cannot create XML element \"" + RootName + "\"");
    xmlDocSetRootElement(doc, root);
    FTree = std::move(tree);
    return DocumentElement();
}

void TXmlDocument::Clear()
{
    FTree.reset();
}

bool TXmlDocument::Active() const
{
    return FTree != nullptr;
}

IntfPtr<TXmlElement> TXmlDocument::DocumentElement() const
{
    if (!FTree)
        return {};
    return TTree::Wrap(FTree, xmlDocGetRootElement(FTree->Doc));
}

std::filesystem::path TXmlDocument::FileName() const
{
    return FTree ? FTree->FileName : std::filesystem::path();
}

std::string TXmlDocument::Encoding() const
{
    return FTree ? S(FTree->Doc->encoding) : std::string();
}

void TXmlDocument::SetEncoding(const std::string& Encoding)
{
    if (!FTree)
        throw EXmlError("No XML document");
    if (!Encoding.empty()) {
        xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(Encoding.c_str());
        if (!handler)
            throw EXmlError("Unknown XML encoding " + Encoding);
        xmlCharEncCloseFunc(handler);
    }
    xmlDocPtr doc = FTree->Doc;
    if (doc->encoding)
        xmlFree(const_cast<xmlChar*>(doc->encoding));
    doc->encoding = Encoding.empty() ? nullptr : xmlStrdup(X(Encoding));
}

bool TXmlDocument::HasDocumentType() const
{
    return FTree && (FTree->Doc->intSubset || FTree->Doc->extSubset);
}

std::string TXmlDocument::SaveToString() const
{
    if (!FTree)
        throw EXmlError("No XML document to save");
    xmlBufferPtr buf = xmlBufferCreate();
    if (!buf)
        throw EXmlError("Out of memory while saving XML");
    // The save context takes the indentation from this per-thread setting
    // when it is created.
    const char* previousIndent = xmlTreeIndentString;
    int previousIndentOutput = xmlIndentTreeOutput;
    xmlTreeIndentString = FIndent.c_str();
    xmlIndentTreeOutput = 1;
    const char* encoding = FTree->Doc->encoding ? reinterpret_cast<const char*>(FTree->Doc->encoding) : nullptr;
    xmlSaveCtxtPtr ctxt = xmlSaveToBuffer(buf, encoding, XML_SAVE_FORMAT);
    xmlTreeIndentString = previousIndent;
    xmlIndentTreeOutput = previousIndentOutput;
    if (!ctxt) {
        xmlBufferFree(buf);
        throw EXmlError("Cannot save XML in encoding " + S(FTree->Doc->encoding));
    }
    long written = xmlSaveDoc(ctxt, FTree->Doc);
    int closed = xmlSaveClose(ctxt);
    std::string result;
    if (written >= 0 && closed >= 0)
        result.assign(reinterpret_cast<const char*>(xmlBufferContent(buf)), xmlBufferLength(buf));
    xmlBufferFree(buf);
    if (written < 0 || closed < 0)
        throw EXmlError("Cannot save XML document");
    return result;
}

void TXmlDocument::SaveToFile(const std::filesystem::path& FileName)
{
    std::string text = SaveToString();
    std::filesystem::path temp = FileName;
    temp += ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            throw EXmlError("Cannot write XML file " + FileName.string());
        }
    }
    std::error_code ec;
    std::filesystem::rename(temp, FileName, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        throw EXmlError("Cannot write XML file " + FileName.string());
    }
    FTree->FileName = FileName;
}

}  // namespace kelvo
