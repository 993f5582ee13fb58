#include "uLanguage.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QMetaProperty>
#include <QSignalBlocker>

#include <algorithm>
#include <functional>
#include <system_error>

#include "uMessageSink.h"
#include "uXmlUtils.h"

namespace kelvo {

namespace {

QString Q(const std::string& s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

std::string S(const QString& s)
{
    return s.toUtf8().toStdString();
}

bool IsComponentName(const QString& Name)
{
    return !Name.isEmpty() && !Name.startsWith(QLatin1String("qt_"));
}

// Reads a language file: refused when it is missing, too large, not
// well-formed, in an encoding libxml2 does not know, or declares a
// document type (language files need none, and none of its entities are
// taken in).
TXmlDocument ReadLanguageDocument(const std::filesystem::path& File)
{
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(File, ec);
    if (ec)
        throw ELanguageError("Cannot read language file " + File.string());
    if (size > kMaxLanguageFileSize)
        throw ELanguageError("Language file " + File.string() + " is too large");
    TXmlDocument doc;
    try {
        doc.LoadFromFile(File);
    } catch (const EXmlError& e) {
        throw ELanguageError(e.Message());
    }
    if (doc.HasDocumentType())
        throw ELanguageError("Language file " + File.string() + " declares a document type");
    return doc;
}

QString RootAttribute(const TXmlDocument& Doc, const std::string& Name, const QString& Default)
{
    IntfPtr<TXmlElement> root = Doc.DocumentElement();
    std::string value;
    if (root && TryGetAttribute(root.get(), Name, value))
        return Q(value);
    return Default;
}

// The writable property an attribute names: a Qt property of the same
// name in any letter case, else "caption" and "hint" as this program
// reads them.
std::optional<QMetaProperty> FindProperty(QObject* Component, const QString& Attribute)
{
    const QMetaObject* meta = Component->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        QMetaProperty p = meta->property(i);
        if (p.isWritable() && Attribute.compare(QLatin1String(p.name()), Qt::CaseInsensitive) == 0)
            return p;
    }
    const char* alias = nullptr;
    if (Attribute.compare(QLatin1String("caption"), Qt::CaseInsensitive) == 0)
        alias = CaptionPropertyName(Component);
    else if (Attribute.compare(QLatin1String("hint"), Qt::CaseInsensitive) == 0 && Component->isWidgetType())
        alias = "toolTip";
    if (alias) {
        const int index = meta->indexOfProperty(alias);
        if (index >= 0 && meta->property(index).isWritable())
            return meta->property(index);
    }
    return std::nullopt;
}

QString ComponentLabel(const QObject* Component)
{
    return Component->objectName().isEmpty() ? QLatin1String(Component->metaObject()->className())
                                             : Component->objectName();
}

void ApplyItems(QObject* Component, TXmlElement& Element)
{
    auto* combo = qobject_cast<QComboBox*>(Component);
    if (!combo || !GetItemStrings(Component))
        return;
    IntfPtr<TXmlElement> items = Element.FindChild("items");
    if (!items)
        return;
    // The selection survives the new texts; the combo's change signals do
    // not fire, as no user chose anything.
    const QSignalBlocker block(combo);
    const int index = combo->currentIndex();
    combo->clear();
    for (const IntfPtr<TXmlElement>& item : items->ChildElements()) {
        if (item->Name() != "item")
            continue;
        std::string value;
        combo->addItem(TryGetAttribute(item.get(), "value", value) ? Q(value) : kErrorInLngFile);
    }
    combo->setCurrentIndex(index < combo->count() ? index : -1);
}

// The components a form holds, in tree order: every named object below it
// that is not part of another window.
QList<QObject*> OwnedComponents(QObject* Form)
{
    QList<QObject*> result;
    std::function<void(QObject*)> walk = [&](QObject* o) {
        for (QObject* child : o->children()) {
            if (child->isWidgetType() && static_cast<QWidget*>(child)->isWindow())
                continue;
            if (IsComponentName(child->objectName()))
                result.append(child);
            walk(child);
        }
    };
    walk(Form);
    return result;
}

}  // namespace

// --- TLanguageItem ------------------------------------------------------------------

TLanguageItem::TLanguageItem(std::filesystem::path FileName) : FFileName(std::move(FileName))
{
    try {
        FDoc = ReadLanguageDocument(FFileName);
    } catch (const Exception&) {
        // Listed as "?"; choosing it reports why it cannot be used.
    }
}

QString TLanguageItem::DisplayName() const
{
    return RootAttribute(FDoc, "name", QStringLiteral("?"));
}

QString TLanguageItem::LanguageId() const
{
    return RootAttribute(FDoc, "id", QStringLiteral("-1"));
}

// --- TLanguage ------------------------------------------------------------------------

TLanguage::TLanguage() = default;

std::filesystem::path TLanguage::ProgramDir() const
{
    if (!FProgramDir.empty())
        return FProgramDir;
    if (QCoreApplication::instance())
        return std::filesystem::path(QCoreApplication::applicationDirPath().toStdU16String());
    return std::filesystem::current_path();
}

std::filesystem::path TLanguage::DataDir() const
{
#ifdef KELVO_DATA_DIR_FROM_PROGRAM
    return (ProgramDir() / KELVO_DATA_DIR_FROM_PROGRAM).lexically_normal();
#else
    return {};
#endif
}

void TLanguage::AddForm(QWidget* Form)
{
    if (Form && !Forms().contains(Form))
        FForms.append(Form);
}

void TLanguage::RemoveForm(QWidget* Form)
{
    FForms.removeIf([Form](const QPointer<QWidget>& f) { return f.isNull() || f == Form; });
}

QList<QWidget*> TLanguage::Forms() const
{
    QList<QWidget*> result;
    for (const QPointer<QWidget>& f : FForms)
        if (f)
            result.append(f.data());
    return result;
}

void TLanguage::FindLanguageFiles(const QString& Mask)
{
    FItems.clear();
    std::vector<std::filesystem::path> dirs{ProgramDir()};
    if (const std::filesystem::path data = DataDir(); !data.empty() && !QFileInfo(Mask).isAbsolute())
        dirs.push_back(data);
    for (const std::filesystem::path& dir : dirs) {
        QStringList names;
        ListFiles(names, Mask, dir);
        for (const QString& name : names) {
            const bool known =
                std::any_of(FItems.begin(), FItems.end(), [&](const TEntry& e) { return e.Name == name; });
            if (!known)
                FItems.push_back({name, std::make_unique<TLanguageItem>(dir / name.toStdU16String())});
        }
    }
    std::stable_sort(FItems.begin(), FItems.end(), [](const TEntry& a, const TEntry& b) {
        const int c = a.Name.compare(b.Name, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a.Name < b.Name;
    });
}

bool TLanguage::LoadFromFile(const QString& FileName)
{
    std::filesystem::path file;
    if (FileName.startsWith(QLatin1Char('\\')))
        file = ProgramDir() / FileName.mid(1).toStdU16String();
    else
        file = FileName.toStdU16String();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        return false;
    try {
        FDoc = ReadLanguageDocument(file);
    } catch (const Exception& e) {
        ShowMessage(e.Message());
        return false;
    }
    return ApplyDocument(QString::fromStdU16String(file.filename().u16string()));
}

bool TLanguage::LoadFromString(std::string_view Text)
{
    try {
        TXmlDocument doc;
        doc.LoadFromString(Text);
        if (doc.HasDocumentType())
            throw ELanguageError("Language text declares a document type");
        FDoc = std::move(doc);
    } catch (const Exception& e) {
        ShowMessage(e.Message());
        return false;
    }
    return ApplyDocument(QStringLiteral("language text"));
}

bool TLanguage::ApplyDocument(const QString& Where)
{
    IntfPtr<TXmlElement> root = FDoc.DocumentElement();
    if (!root)
        return false;
    try {
        for (const IntfPtr<TXmlElement>& child : root->ChildElements())
            if (child->Name() == "forms")
                ApplyForms(*child);
    } catch (const Exception& e) {
        ShowMessage(S(Where) + ": " + e.Message());
        return false;
    }
    return true;
}

bool TLanguage::ApplyToForm(QWidget* Form)
{
    IntfPtr<TXmlElement> root = FDoc.DocumentElement();
    if (!Form || !root)
        return true;
    IntfPtr<TXmlElement> forms = root->FindChild("forms");
    if (!forms)
        return true;
    const QString name = Form->objectName();
    for (const IntfPtr<TXmlElement>& element : forms->ChildElements()) {
        if (Q(element->Name()).compare(name, Qt::CaseInsensitive) != 0)
            continue;
        try {
            ApplyComponent(Form, element.get());
        } catch (const Exception& e) {
            ShowMessage(e.Message());
            return false;
        }
        break;
    }
    return true;
}

void TLanguage::ApplyForms(TXmlElement& FormsElement)
{
    const QList<QWidget*> forms = Forms();
    for (const IntfPtr<TXmlElement>& element : FormsElement.ChildElements()) {
        const QString name = Q(element->Name());
        auto it = std::find_if(forms.begin(), forms.end(), [&](QWidget* f) { return f->objectName() == name; });
        if (it != forms.end())
            ApplyComponent(*it, element.get());
    }
}

void TLanguage::ApplyComponent(QObject* Component, TXmlElement* Element)
{
    if (!Component || !Element)
        return;
    ApplyItems(Component, *Element);
    for (const auto& [attribute, value] : Element->Attributes()) {
        const QString name = Q(attribute);
        std::optional<QMetaProperty> p = FindProperty(Component, name);
        if (!p)
            throw ELanguageError("Component " + S(ComponentLabel(Component)) + " has no property \"" + attribute
                                 + "\"");
        if (!p->write(Component, Q(value)))
            throw ELanguageError("Property \"" + attribute + "\" of " + S(ComponentLabel(Component))
                                 + " cannot take the value \"" + value + "\"");
    }
    for (const IntfPtr<TXmlElement>& child : Element->ChildElements())
        if (QObject* c = FindChildComponent(Component, Q(child->Name())))
            ApplyComponent(c, child.get());
}

TLanguage& Language()
{
    static TLanguage language;
    return language;
}

// --- free operations -------------------------------------------------------------------

int ListFiles(QStringList& List, const QString& Mask, const std::filesystem::path& Dir)
{
    const QFileInfo mask(Mask);
    const QDir dir = mask.isAbsolute() ? mask.dir() : QDir(QString::fromStdU16String(Dir.u16string()));
    if (!dir.exists())
        return -1;
    QStringList found =
        dir.entryList({mask.fileName()}, QDir::Files | QDir::Hidden | QDir::System, QDir::NoSort);
    // Sorted, so that every system lists the files alike (the first entry
    // is what the combo shows at start).
    std::sort(found.begin(), found.end(), [](const QString& a, const QString& b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    List.append(found);
    return int(found.size());
}

QObject* FindChildComponent(QObject* Component, const QString& Name)
{
    if (!Component || !IsComponentName(Name))
        return nullptr;
    for (QObject* child : Component->children())
        if (child->objectName() == Name)
            return child;
    return Component->findChild<QObject*>(Name, Qt::FindChildrenRecursively);
}

std::optional<QStringList> GetItemStrings(QObject* Component)
{
    auto* combo = qobject_cast<QComboBox*>(Component);
    if (!combo || combo->property(kNoLanguageItems).toBool())
        return std::nullopt;
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items.append(combo->itemText(i));
    return items;
}

const char* CaptionPropertyName(const QObject* Component)
{
    // A control of this program that draws its own caption publishes it
    // as "Caption" (the shape buttons).
    if (Component->metaObject()->indexOfProperty("Caption") >= 0)
        return "Caption";
    if (Component->isWidgetType() && static_cast<const QWidget*>(Component)->isWindow())
        return "windowTitle";
    if (qobject_cast<const QLabel*>(Component) || qobject_cast<const QAbstractButton*>(Component))
        return "text";
    if (qobject_cast<const QGroupBox*>(Component))
        return "title";
    return nullptr;
}

bool ExportLanguage(const QString& FileName, const QList<QWidget*>& Forms)
{
    const std::filesystem::path file =
        FileName.isEmpty() ? std::filesystem::path("default.lng.xml") : std::filesystem::path(FileName.toStdU16String());
    try {
        TXmlDocument doc;
        doc.SetIndent("\t");
        std::error_code ec;
        if (std::filesystem::exists(file, ec)) {
            // A file that is there but is no XML stays as it is.
            doc.LoadFromFile(file);
        }
        if (!doc.Active())
            doc.LoadFromString(R"(<?xml version="1.0" encoding="windows-1250" ?><language name="language"/>)");
        doc.SetEncoding("windows-1250");
        IntfPtr<TXmlElement> root = doc.DocumentElement();
        IntfPtr<TXmlElement> forms = root->FindChild("forms");
        if (!forms)
            forms = root->AppendChild("forms");
        for (QWidget* form : Forms)
            ExportComponent(form, *forms);
        doc.SaveToFile(file);
    } catch (const Exception& e) {
        ShowMessage("Export of the language file failed: " + e.Message());
        return false;
    }
    return true;
}

void ExportComponent(QObject* Component, TXmlElement& Parent)
{
    if (!Component || !IsComponentName(Component->objectName()))
        return;
    IntfPtr<TXmlElement> element;
    try {
        element = Parent.AppendChild(S(Component->objectName()));
    } catch (const EXmlError&) {
        return;  // a name XML cannot carry
    }
    ExportItems(Component, *element);
    try {
        if (const char* caption = CaptionPropertyName(Component)) {
            const QString text = Component->property(caption).toString();
            if (!text.isEmpty())
                element->SetAttribute("caption", S(text));
        }
        if (Component->isWidgetType()) {
            const QString hint = static_cast<QWidget*>(Component)->toolTip();
            if (!hint.isEmpty())
                element->SetAttribute("hint", S(hint));
        }
        if (Component->isWidgetType() && static_cast<QWidget*>(Component)->isWindow())
            for (QObject* owned : OwnedComponents(Component))
                ExportComponent(owned, *element);
    } catch (const Exception&) {
        // The element keeps what was written so far.
    }
}

void ExportItems(QObject* Component, TXmlElement& Element)
{
    const std::optional<QStringList> items = GetItemStrings(Component);
    if (!items)
        return;
    try {
        IntfPtr<TXmlElement> list = Element.AppendChild("items");
        for (const QString& text : *items)
            list->AppendChild("item")->SetAttribute("value", S(text));
    } catch (const Exception&) {
    }
}

}  // namespace kelvo
