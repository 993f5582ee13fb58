#pragma once
// Language files: the window's texts in other languages, read at run time
// from "*.lng.xml" files beside the program (and, for an installed program,
// in its data folder), and the export of the current texts as the template
// of a new translation.
//
//   <language name="English" id="$409">
//     <forms>
//       <fMain caption="...">
//         <lSearchHeading caption="Module search"/>
//         <cbCommunicationSpeed><items><item value="300 Bd"/>...</items></cbCommunicationSpeed>
//
// Element names are component names (Qt object names), compared exactly;
// only the form that ApplyToForm looks for is compared without case.
// Attributes name properties, matched without case to the Qt properties of
// the component; "caption" is the visible text of forms (their title),
// labels, buttons, shape buttons, check boxes and group boxes, "hint" the
// tool tip. Edits, memos and combo boxes have no caption: their text is
// module data. An attribute that names no property stops the application
// of the file there with a message; what was applied before stays.
//
// Files are read in the encoding they declare (the export writes
// windows-1250); a file with a document type declaration, one larger than
// kMaxLanguageFileSize or one that is not well-formed is refused with a
// message. Messages go through ShowMessage (uMessageSink).

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "uExceptions.h"
#include "uXmlDocument.h"

namespace kelvo {

// A language file that cannot be read or applied.
class ELanguageError : public Exception {
public:
    using Exception::Exception;
};

// Language files are small (tens of kilobytes); anything beyond this is
// not one.
constexpr std::uintmax_t kMaxLanguageFileSize = 4u << 20;

// The text an "item" without "value" gets.
inline const QString kErrorInLngFile = QStringLiteral("<Error In Lng File>");

// A combo box whose entries are not texts of the design (the language
// combo lists the files found) carries this dynamic property set to true:
// language files neither export nor replace its entries.
inline constexpr char kNoLanguageItems[] = "noLanguageItems";

// One language file found beside the program.
class TLanguageItem {
public:
    // Reads the file; a file that cannot be read leaves the item without a
    // document (listed as "?", refused when chosen).
    explicit TLanguageItem(std::filesystem::path FileName);

    const std::filesystem::path& FileName() const { return FFileName; }
    // The root's "name"; "?" when missing.
    QString DisplayName() const;
    // The root's "id" as text; "-1" when missing.
    QString LanguageId() const;

private:
    std::filesystem::path FFileName;
    TXmlDocument FDoc;
};

class TLanguage {
public:
    TLanguage();

    // The folder files are looked for and "\"-names are taken from: the
    // program's directory unless set otherwise (tests).
    std::filesystem::path ProgramDir() const;
    void SetProgramDir(std::filesystem::path Dir) { FProgramDir = std::move(Dir); }
    // The data folder of an installed program, found from the program's
    // directory as the install puts it (/usr/bin -> /usr/share/kelvosetup);
    // empty where the build installs none (Windows keeps everything beside
    // the program).
    std::filesystem::path DataDir() const;

    // The forms of the application that files are applied to and that the
    // export lists, in the order they were added.
    void AddForm(QWidget* Form);
    void RemoveForm(QWidget* Form);
    QList<QWidget*> Forms() const;

    // Replaces the list of found files by one item per file matching Mask
    // in the program's directory, then in the data folder (a file beside
    // the program hides one of the same name there), sorted by file name
    // without case.
    void FindLanguageFiles(const QString& Mask);
    struct TEntry {
        QString Name;  // file name without folder
        std::unique_ptr<TLanguageItem> Item;
    };
    const std::vector<TEntry>& Items() const { return FItems; }

    // Loads a file ("\name": in the program's directory) as the current
    // document and applies its "forms" to the forms. False when the file
    // does not exist (nothing changes), and - after a message - when it
    // cannot be read (the current document stays) or its application
    // stopped.
    bool LoadFromFile(const QString& FileName);
    // The same for a text (fuzzing, tests).
    bool LoadFromString(std::string_view Text);

    // Applies the current document's element for Form (its name compared
    // without case). False, after a message, when the application stopped.
    bool ApplyToForm(QWidget* Form);

    // Each child of a "forms" element to the form of exactly its name.
    // Raises ELanguageError where an attribute names no property.
    void ApplyForms(TXmlElement& FormsElement);
    // One element to one component, then its children to the components
    // they name below it. Raises ELanguageError as ApplyForms.
    void ApplyComponent(QObject* Component, TXmlElement* Element);

    bool HasDocument() const { return FDoc.Active(); }

private:
    bool ApplyDocument(const QString& Where);

    TXmlDocument FDoc;
    std::filesystem::path FProgramDir;
    std::vector<TEntry> FItems;
    QList<QPointer<QWidget>> FForms;
};

// The one language object of the program.
TLanguage& Language();

// --- free operations ------------------------------------------------------------

// The file names (without folder) matching Mask, in Dir unless Mask names
// a folder of its own, sorted without case; the count, or -1 when the
// folder cannot be read.
int ListFiles(QStringList& List, const QString& Mask, const std::filesystem::path& Dir);

// The component named Name below Component: its direct children first,
// then everything below it. Qt's own parts (names beginning "qt_") are not
// components.
QObject* FindChildComponent(QObject* Component, const QString& Name);

// The entries of a combo box (the item list a file may replace); none for
// other components and for combos marked kNoLanguageItems.
std::optional<QStringList> GetItemStrings(QObject* Component);

// The property "caption" stands for on this component; nullptr where the
// component has no caption.
const char* CaptionPropertyName(const QObject* Component);

// Writes the texts of Forms into FileName (empty: "default.lng.xml"): the
// file is extended when it exists (a second export appends another form
// element), else created with the windows-1250 template; saved in
// windows-1250 with tab indentation. False, after a message, on failure
// (an existing file that is not a language document is left untouched).
bool ExportLanguage(const QString& FileName, const QList<QWidget*>& Forms);
// The element of one component under Parent, with its items, caption and
// hint, and for a form the elements of every component it holds.
void ExportComponent(QObject* Component, TXmlElement& Parent);
void ExportItems(QObject* Component, TXmlElement& Element);

}  // namespace kelvo
