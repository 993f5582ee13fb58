#pragma once
// A thin DOM over libxml2 for the language files and for the elements that
// noded interfaces mirror their properties in: parse a file or a text,
// walk child elements in order, find a child by name, read and set
// attributes, create and append elements, save with indentation.
//
// Parsing never loads anything from outside the document: no external
// entities, no external DTD, no network access. Texts are UTF-8 in memory
// whatever encoding the file declares; saving writes the declared encoding
// again (UTF-8 for documents built from scratch).
//
// A document and its elements share the parsed tree: an element keeps the
// tree alive, so it stays valid after its document object is gone or has
// loaded something else. One document with its elements is meant for one
// thread at a time.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "uiXmlElement.h"
#include "uExceptions.h"

struct _xmlNode;

namespace kelvo {

// Parse errors, unreadable or unwritable files, invalid names and texts.
class EXmlError : public Exception {
public:
    using Exception::Exception;
};

namespace xmldetail {
struct TTree;
}

class TXmlElement final : public TMyInterfacedObject, public IXMLElement {
public:
    // Elements are obtained from a document or from other elements only.
    struct TKey {
    private:
        TKey() = default;
        friend struct xmldetail::TTree;
    };
    TXmlElement(TKey, std::shared_ptr<xmldetail::TTree> Tree, _xmlNode* Node);

    // The element's name as written, with its prefix if it has one.
    std::string Name() const;

    // IXMLElement. Names are compared exactly, prefix included. Values are
    // returned with character and entity references resolved.
    bool HasAttribute(const std::string& Name) override;
    std::string GetAttribute(const std::string& Name) override;
    // Raises EXmlError for a name that is not an XML name and for a value
    // that is not UTF-8 or holds characters XML cannot carry.
    void SetAttribute(const std::string& Name, const std::string& Value) override;

    // Removes the attribute; false when there was none.
    bool RemoveAttribute(const std::string& Name);

    // Every attribute as (name, value), in document order.
    std::vector<std::pair<std::string, std::string>> Attributes() const;

    // The child elements in document order (text and comments skipped).
    std::vector<IntfPtr<TXmlElement>> ChildElements() const;
    // The first child element named Name exactly; empty when none.
    IntfPtr<TXmlElement> FindChild(std::string_view Name) const;
    // Appends a new child element; raises EXmlError for an invalid name.
    IntfPtr<TXmlElement> AppendChild(const std::string& Name);
    // The parent element; empty for the root element.
    IntfPtr<TXmlElement> ParentElement() const;

    // The text content of the element and its descendants.
    std::string Text() const;

    // True when both wrap the same element of the same tree.
    bool SameElement(const TXmlElement& Other) const { return FNode == Other.FNode; }

protected:
    void* GetInterface(const TGUID& IID) override;

private:
    std::shared_ptr<xmldetail::TTree> FTree;
    _xmlNode* FNode;
};

class TXmlDocument {
public:
    TXmlDocument();
    ~TXmlDocument();
    TXmlDocument(const TXmlDocument&) = delete;
    TXmlDocument& operator=(const TXmlDocument&) = delete;
    TXmlDocument(TXmlDocument&&) noexcept;
    TXmlDocument& operator=(TXmlDocument&&) noexcept;

    // Replace the content by a parsed file or text. On failure EXmlError is
    // raised and the document keeps what it had before.
    void LoadFromFile(const std::filesystem::path& FileName);
    void LoadFromString(std::string_view Text);

    // Replaces the content by a new document that has only a root element.
    IntfPtr<TXmlElement> CreateDocument(const std::string& RootName);

    // Forgets the content.
    void Clear();

    // True once something has been loaded or created.
    bool Active() const;

    // The root element; empty while not active.
    IntfPtr<TXmlElement> DocumentElement() const;

    // The file last loaded or saved; empty otherwise.
    std::filesystem::path FileName() const;

    // The encoding the document declares; empty when it declares none.
    std::string Encoding() const;
    // The encoding the document is saved in from now on (empty: UTF-8).
    // Raises EXmlError while not active and for an encoding libxml2 does
    // not know.
    void SetEncoding(const std::string& Encoding);

    // True when the document carries a document type declaration.
    bool HasDocumentType() const;

    // What nested elements are indented with, per level (a tab by default).
    void SetIndent(std::string Indent) { FIndent = std::move(Indent); }
    const std::string& Indent() const { return FIndent; }

    // The whole document as text in its declared encoding, nested elements
    // on lines of their own. Raises EXmlError while not active.
    std::string SaveToString() const;
    // Writes SaveToString to FileName, replacing the file only once the new
    // content is completely written. Raises EXmlError on failure.
    void SaveToFile(const std::filesystem::path& FileName);

private:
    std::shared_ptr<xmldetail::TTree> FTree;
    std::string FIndent = "\t";
};

}  // namespace kelvo
