// Language files applied to and exported from the real window, each test
// with its own language object and program folder.

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <fstream>
#include <map>
#include <set>

#include "QtTestApp.h"
#include "uLanguage.h"
#include "uMain.h"
#include "uMessageSink.h"

using namespace kelvo;

namespace {

// (component, attribute) -> value of a language document's first form
// element, items as "items" -> values joined by "|".
using TTexts = std::map<std::pair<std::string, std::string>, std::string>;

TTexts TextsOf(const TXmlDocument& Doc, size_t FormIndex = 0)
{
    TTexts texts;
    IntfPtr<TXmlElement> forms = Doc.DocumentElement()->FindChild("forms");
    IntfPtr<TXmlElement> form = forms->ChildElements().at(FormIndex);
    auto add = [&](const IntfPtr<TXmlElement>& e) {
        for (const auto& [name, value] : e->Attributes())
            texts[{e->Name(), name}] = value;
        if (IntfPtr<TXmlElement> items = e->FindChild("items")) {
            std::string all;
            for (const auto& item : items->ChildElements())
                all += item->GetAttribute("value") + "|";
            texts[{e->Name(), "items"}] = all;
        }
    };
    add(form);
    for (const auto& c : form->ChildElements())
        add(c);
    return texts;
}

TXmlDocument Read(const std::filesystem::path& File)
{
    TXmlDocument doc;
    doc.LoadFromFile(File);
    return doc;
}

std::filesystem::path Shipped(const char* Name)
{
    return std::filesystem::path(KELVO_LANG_SOURCE_DIR) / Name;
}

}  // namespace

class LanguageFiles : public ::testing::Test, kelvo::testing::TWithQtApp {
protected:
    LanguageFiles() : Sink([this](const std::string& T) { Messages.push_back(T); })
    {
        Lang.SetProgramDir(Dir.path().toStdString());
        Form = std::make_unique<TfMain>(nullptr, &Lang);
    }

    std::filesystem::path Write(const std::string& Name, const std::string& Content)
    {
        const std::filesystem::path file = Dir.path().toStdString() + "/" + Name;
        std::ofstream(file, std::ios::binary) << Content;
        return file;
    }
    // A UTF-8 file with one form element.
    std::filesystem::path WriteForm(const std::string& Name, const std::string& Body,
                                    const std::string& FormTag = "fMain")
    {
        return Write(Name, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><language name=\"t\"><forms><" + FormTag + ">"
                               + Body + "</" + FormTag + "></forms></language>");
    }
    bool Load(const std::filesystem::path& File) { return Lang.LoadFromFile(QString::fromStdString(File.string())); }

    QTemporaryDir Dir;
    TLanguage Lang;
    std::vector<std::string> Messages;
    TScopedMessageSink Sink;
    std::unique_ptr<TfMain> Form;
};

TEST_F(LanguageFiles, ComboListsTheFilesSortedWithTheirFlags)
{
    Form->InitializeLanguages();
    EXPECT_EQ(Form->cbbLanguage->count(), 0);  // no files: an empty combo, the design texts stay
    EXPECT_EQ(Form->lSearchHeading->text(), "Vyhledání modulu");

    Write("english.lng.xml", R"(<language name="english" id="$409"/>)");
    Write("Cesky.lng.xml", R"(<language name="česky" id="$405"/>)");
    Write("other.lng.xml", R"(<language id="$999"/>)");
    Write("broken.lng.xml", "<language");
    Write("notes.xml", R"(<language name="no"/>)");
    Form->InitializeLanguages();
    ASSERT_EQ(Form->cbbLanguage->count(), 4);
    const QStringList expected{"?", "česky", "english", "?"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Form->cbbLanguage->itemText(i), expected[i]) << i;
    EXPECT_EQ(Form->cbbLanguage->FlagOf(1).toImage(), Form->ImageList1->Images[0].toImage());
    EXPECT_EQ(Form->cbbLanguage->FlagOf(2).toImage(), Form->ImageList1->Images[1].toImage());
    EXPECT_TRUE(Form->cbbLanguage->FlagOf(3).isNull());
    EXPECT_FALSE(Form->ImageList1->Images[0].isNull());

    // Choosing the broken file reports it and changes nothing.
    Form->cbbLanguageChange(0);
    EXPECT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Form->lSearchHeading->text(), "Vyhledání modulu");
}

TEST_F(LanguageFiles, AnInstalledProgramAlsoListsItsDataFolderAndFilesBesideItWin)
{
    // As installed: the program in bin/, its data in share/kelvosetup/.
    const std::filesystem::path root = Dir.path().toStdString();
    const std::filesystem::path bin = root / "usr" / "bin";
    Lang.SetProgramDir(bin);
    if (Lang.DataDir().empty())
        GTEST_SKIP() << "this build keeps its language files beside the program only";
    EXPECT_EQ(Lang.DataDir(), root / "usr" / "share" / "kelvosetup");
    std::filesystem::create_directories(Lang.DataDir());
    Lang.FindLanguageFiles("*.lng.xml");  // bin/ does not exist yet: the data folder alone
    EXPECT_TRUE(Lang.Items().empty());
    std::ofstream(Lang.DataDir() / "english.lng.xml") << R"(<language name="shipped english"/>)";
    std::ofstream(Lang.DataDir() / "cesky.lng.xml") << R"(<language name="shipped czech"/>)";
    std::filesystem::create_directories(bin);
    std::ofstream(bin / "english.lng.xml") << R"(<language name="own english"/>)";
    std::ofstream(bin / "blue.lng.xml") << R"(<language name="own blue"/>)";
    Lang.FindLanguageFiles("*.lng.xml");
    std::vector<std::pair<std::string, std::filesystem::path>> found;
    for (const auto& e : Lang.Items())
        found.emplace_back(e.Item->DisplayName().toStdString(), e.Item->FileName());
    const decltype(found) expected{{"own blue", bin / "blue.lng.xml"},
                                   {"shipped czech", Lang.DataDir() / "cesky.lng.xml"},
                                   {"own english", bin / "english.lng.xml"}};
    EXPECT_EQ(found, expected);
}

TEST_F(LanguageFiles, ItemsAreReplacedKeepingTheSelection)
{
    Form->cbCommunicationSpeed->setCurrentIndex(5);
    QSignalSpy changed(Form->cbCommunicationSpeed, &QComboBox::currentIndexChanged);
    ASSERT_TRUE(Load(WriteForm("a.lng.xml", "<cbCommunicationSpeed><items>"
                                            "<item value=\"a\"/><item value=\"b\"/><item/><item value=\"d\"/>"
                                            "<item value=\"e\"/><item value=\"9,600 Bd\"/></items>"
                                            "</cbCommunicationSpeed>"
                                            "<cbbLanguage><items><item value=\"x\"/></items></cbbLanguage>")));
    EXPECT_EQ(Form->cbCommunicationSpeed->count(), 6);
    EXPECT_EQ(Form->cbCommunicationSpeed->currentIndex(), 5);
    EXPECT_EQ(Form->cbCommunicationSpeed->currentText(), "9,600 Bd");
    EXPECT_EQ(Form->cbCommunicationSpeed->itemText(2), kErrorInLngFile);
    EXPECT_EQ(changed.count(), 0);
    // The language combo lists files, not texts of a file.
    EXPECT_EQ(Form->cbbLanguage->itemText(0), "česky");
}

TEST_F(LanguageFiles, LowerCaseFormIsAppliedByApplyToFormOnly)
{
    ASSERT_TRUE(Load(WriteForm("a.lng.xml", R"(<lSearchHeading caption="Search"/>)", "fmain")));
    EXPECT_EQ(Form->lSearchHeading->text(), "Vyhledání modulu");
    EXPECT_TRUE(Lang.ApplyToForm(Form.get()));
    EXPECT_EQ(Form->lSearchHeading->text(), "Search");
}

TEST_F(LanguageFiles, PropertiesByNameWithoutCaseAndAnUnknownOneStops)
{
    // Nested elements apply below their component; "hint" is the tool
    // tip, other attributes are Qt properties in any letter case.
    ASSERT_TRUE(Load(WriteForm("a.lng.xml", R"(<pChannel><pName><eChannelName HINT="Name" maxLENGTH="7"/></pName></pChannel>)"
                                            R"(<sSearch caption="Search"/><Nobody caption="x"/>)")));
    EXPECT_EQ(Form->eChannelName->toolTip(), "Name");
    EXPECT_EQ(Form->eChannelName->maxLength(), 7);
    EXPECT_EQ(Form->sSearch->Caption(), "Search");
    EXPECT_TRUE(Messages.empty());

    // An edit has no caption (its text is module data): the file stops there.
    EXPECT_FALSE(Load(WriteForm("b.lng.xml", R"(<lSearchHeading caption="A"/><eChannelName caption="B"/>)"
                                             R"(<lError caption="C"/>)")));
    EXPECT_EQ(Form->lSearchHeading->text(), "A");
    EXPECT_EQ(Form->eChannelName->text(), "");
    EXPECT_EQ(Form->lError->text(), "Chyba při komunikaci s modulem Kelvo!");
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_NE(Messages[0].find("caption"), std::string::npos);
}

TEST_F(LanguageFiles, BadFilesAreRefusedAndTheWindowKeepsItsTexts)
{
    const std::string entityBomb = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaa\">"
                                   "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
                                   "<language><forms><fMain><lError caption=\"&b;\"/></fMain></forms></language>";
    struct Case {
        const char* Name;
        std::string Content;
    };
    const Case cases[] = {
        {"not-well-formed", "<language><forms><fMain></forms>"},
        {"empty", ""},
        {"dtd", entityBomb},
        {"external", "<?xml version=\"1.0\"?><!DOCTYPE l SYSTEM \"http://127.0.0.1/x.dtd\"><language/>"},
        {"unknown-encoding", "<?xml version=\"1.0\" encoding=\"x-kelvo-none\"?><language/>"},
        {"huge", "<language>" + std::string(kMaxLanguageFileSize, ' ') + "</language>"},
    };
    for (const Case& c : cases) {
        Messages.clear();
        EXPECT_FALSE(Load(Write(std::string(c.Name) + ".lng.xml", c.Content))) << c.Name;
        EXPECT_EQ(Messages.size(), 1u) << c.Name;
        EXPECT_EQ(Form->lError->text(), "Chyba při komunikaci s modulem Kelvo!") << c.Name;
    }
    Messages.clear();
    EXPECT_FALSE(Load(Dir.path().toStdString() + "/missing.lng.xml"));
    EXPECT_TRUE(Messages.empty());
}

TEST_F(LanguageFiles, FilesAreReadInTheirDeclaredEncoding)
{
    // "Měření" in windows-1250, and in UTF-8; "\" names the program folder.
    Write("cp.lng.xml", "<?xml version=\"1.0\" encoding=\"windows-1250\"?><language><forms><fMain>"
                        "<lMeasuring caption=\"M\xEC\xF8" "en\xED\"/></fMain></forms></language>");
    Form->lMeasuring->setText("x");
    ASSERT_TRUE(Lang.LoadFromFile("\\cp.lng.xml"));
    EXPECT_EQ(Form->lMeasuring->text(), "Měření");
    ASSERT_TRUE(Load(WriteForm("u.lng.xml", R"(<lMeasuring caption="Žluťoučký"/>)")));
    EXPECT_EQ(Form->lMeasuring->text(), "Žluťoučký");
}

TEST_F(LanguageFiles, ExportListsComponentsFlatAndAppendsAndAppliesBack)
{
    const QString file = Dir.filePath("Export.lng.xml");
    ASSERT_TRUE(ExportLanguage(file, Lang.Forms()));
    ASSERT_TRUE(ExportLanguage(file, Lang.Forms()));

    QFile raw(file);
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    const QByteArray bytes = raw.readAll();
    EXPECT_TRUE(bytes.startsWith("<?xml version=\"1.0\" encoding=\"windows-1250\"?>")) << bytes.left(60).toStdString();
    EXPECT_TRUE(bytes.contains("\n\t\t\t<lMeasuring caption=\"M\xEC\xF8" "en\xED\"/>"));  // tabs, windows-1250

    const TXmlDocument doc = Read(file.toStdString());
    const auto forms = doc.DocumentElement()->FindChild("forms")->ChildElements();
    ASSERT_EQ(forms.size(), 2u);
    EXPECT_EQ(forms[1]->Name(), "fMain");
    const TTexts texts = TextsOf(doc);
    EXPECT_EQ((texts.at({"lSearchHeading", "caption"})), "Vyhledání modulu");  // below pSearch, listed flat
    EXPECT_EQ((texts.at({"sbChannel2", "caption"})), "Kanál 2");
    EXPECT_EQ((texts.at({"eChannelName", "hint"})), "Název kanálu (max. 20 znaků)");
    EXPECT_EQ(texts.count({"eChannelName", "caption"}), 0u);  // edits have no caption
    EXPECT_EQ((texts.at({"cbbChannelGain", "items"})), "1x|2x|4x|8x|16x|32x|64x|128x|");
    EXPECT_EQ(texts.count({"cbbLanguage", "items"}), 0u);

    Form->lSearchHeading->setText("changed");
    Form->sbChannel2->SetCaption("changed");
    Messages.clear();
    EXPECT_TRUE(Load(file.toStdString()));
    EXPECT_TRUE(Messages.empty()) << Messages[0];
    EXPECT_EQ(Form->lSearchHeading->text(), "Vyhledání modulu");
    EXPECT_EQ(Form->sbChannel2->Caption(), "Kanál 2");
}

TEST_F(LanguageFiles, ExportLeavesAFileThatIsNoXmlAlone)
{
    const std::filesystem::path file = Write("Export.lng.xml", "not xml");
    EXPECT_FALSE(ExportLanguage(QString::fromStdString(file.string()), Lang.Forms()));
    EXPECT_EQ(Messages.size(), 1u);
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not xml");
}

// --- the files shipped beside the program -----------------------------------------

class ShippedLanguages : public LanguageFiles {
protected:
    // The design texts as the export writes them, without what is not a
    // translation: the caption (version) of the window.
    TTexts DesignTexts()
    {
        const QString file = Dir.filePath("design.lng.xml");
        EXPECT_TRUE(ExportLanguage(file, Lang.Forms()));
        TTexts texts = TextsOf(Read(file.toStdString()));
        texts.erase({"fMain", "caption"});
        return texts;
    }

    // Every text a user can see: on each page, with the search settings
    // open and closed and the found list shown.
    std::set<QString> VisibleTexts()
    {
        std::set<QString> seen;
        Form->show();
        for (TPage page : {TPage::Search, TPage::Searching, TPage::Connection, TPage::Channel, TPage::Measure,
                           TPage::Error})
            for (bool open : {false, true}) {
                Form->ShowPage(page, false);
                Form->ShowSearchSettings(open, Form->Logic().SearchSpeedViews());
                Form->ShowFoundModules({"KelvoRS|COM3|0042"}, 0, !open);
                Form->sSaveChanges1->show();
                for (QWidget* w : Form->findChildren<QWidget*>()) {
                    if (!w->isVisibleTo(Form.get()) || w->objectName() == "cbbLanguage" || w->objectName() == "cbADR")
                        continue;
                    if (const char* caption = CaptionPropertyName(w))
                        seen.insert(w->property(caption).toString());
                    seen.insert(w->toolTip());
                    if (auto* combo = qobject_cast<QComboBox*>(w))
                        for (int i = 0; i < combo->count(); ++i)
                            seen.insert(combo->itemText(i));
                }
            }
        return seen;
    }
};

TEST_F(ShippedLanguages, CzechFileHoldsTheDesignTexts)
{
    const TTexts design = DesignTexts();
    const TXmlDocument cesky = Read(Shipped("cesky.lng.xml"));
    EXPECT_EQ(cesky.DocumentElement()->GetAttribute("id"), "$405");
    if (TextsOf(cesky) != design) {
        // The export to build the file from when the window changes.
        const std::string fresh = std::string(KELVO_TEST_OUTPUT_DIR) + "/cesky.expected.lng.xml";
        std::filesystem::copy_file(Dir.filePath("design.lng.xml").toStdString(), fresh,
                                   std::filesystem::copy_options::overwrite_existing);
        ADD_FAILURE() << "cesky.lng.xml differs from the window's export, see " << fresh;
    }
}

TEST_F(ShippedLanguages, EnglishFileLeavesNoCzechTextVisible)
{
    const TTexts design = DesignTexts();
    const TXmlDocument english = Read(Shipped("english.lng.xml"));
    EXPECT_EQ(english.DocumentElement()->GetAttribute("id"), "$409");
    // The same components and attributes as the design, every one translated.
    TTexts translated = TextsOf(english);
    for (const auto& [key, value] : design)
        EXPECT_EQ(translated.count(key), 1u) << key.first << "@" << key.second;
    EXPECT_EQ(translated.size(), design.size());

    std::set<QString> czech;
    for (const auto& [key, value] : design)
        for (const QString& part : QString::fromStdString(value).split('|', Qt::SkipEmptyParts))
            czech.insert(part);
    Form->FormCreate();
    ASSERT_TRUE(Load(Shipped("english.lng.xml")));
    EXPECT_TRUE(Messages.empty()) << Messages[0];
    // Texts without words ("-", "128x", "9 600 Bd") may stay as they are.
    const QRegularExpression neutral(R"(^[-\d .,]*( ?(x|Bd|bps))?$)");
    for (const QString& text : VisibleTexts())
        EXPECT_TRUE(neutral.match(text).hasMatch() || !czech.count(text)) << text.toStdString();
}
