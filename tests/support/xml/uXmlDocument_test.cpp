#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <atomic>
#include <random>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "uXmlDocument.h"
#include "uXmlUtils.h"

using namespace kelvo;
namespace fs = std::filesystem;

namespace {

class TTempDir {
public:
    TTempDir()
    {
        std::random_device rd;
        Path = fs::temp_directory_path() / ("kelvo-xml-" + std::to_string(rd()) + std::to_string(::getpid()));
        fs::create_directories(Path);
    }
    ~TTempDir()
    {
        std::error_code ec;
        fs::remove_all(Path, ec);
    }
    fs::path Path;
};

std::vector<std::string> Names(const std::vector<IntfPtr<TXmlElement>>& els)
{
    std::vector<std::string> r;
    for (auto& e : els)
        r.push_back(e->Name());
    return r;
}

void WriteFile(const fs::path& p, const std::string& content)
{
    std::ofstream(p, std::ios::binary) << content;
}

}  // namespace

TEST(XmlDocument, WalksChildrenFindsByExactNameAndResolvesReferences)
{
    TXmlDocument doc;
    EXPECT_FALSE(doc.Active());
    EXPECT_FALSE(doc.DocumentElement());
    doc.LoadFromString(
        "<language name='english' id='$409'>\n"
        "  <!-- comment --> text\n"
        "  <Forms/><forms><fMain caption='A &amp; B &#x10D;'/><fmain/></forms>\n"
        "</language>");
    ASSERT_TRUE(doc.Active());
    auto root = doc.DocumentElement();
    EXPECT_EQ(root->Name(), "language");
    EXPECT_EQ(Names(root->ChildElements()), (std::vector<std::string>{"Forms", "forms"}));
    EXPECT_EQ(root->Attributes(),
              (std::vector<std::pair<std::string, std::string>>{{"name", "english"}, {"id", "$409"}}));

    auto forms = root->FindChild("forms");
    ASSERT_TRUE(forms);
    EXPECT_TRUE(forms->ParentElement()->SameElement(*root));
    EXPECT_FALSE(root->ParentElement());
    auto fMain = forms->FindChild("fMain");
    ASSERT_TRUE(fMain);
    EXPECT_FALSE(forms->FindChild("FMAIN"));
    EXPECT_EQ(fMain->GetAttribute("caption"), "A & B \xC4\x8D");
    EXPECT_FALSE(fMain->HasAttribute("Caption"));
    EXPECT_EQ(fMain->GetAttribute("hint"), "");

    // The element is also reached as the abstract element the comm layer uses.
    IntfPtr<IXMLElement> abstract = Supports<IXMLElement>(fMain);
    ASSERT_TRUE(abstract);
    std::string caption;
    EXPECT_TRUE(TryGetAttribute(abstract.get(), "caption", caption));
    EXPECT_EQ(GetAttributeText(abstract.get(), "hint", "<none>"), "<none>");
}

TEST(XmlDocument, BuildsAndSavesIndentedWithTabsAndReadsItBack)
{
    TXmlDocument doc;
    auto root = doc.CreateDocument("language");
    root->SetAttribute("name", "language");
    auto fMain = root->AppendChild("forms")->AppendChild("fMain");
    fMain->SetAttribute("caption", "a & <b> \"c\" 'd'");
    fMain->SetAttribute("hint", "first");
    fMain->SetAttribute("hint", "second");  // replaced in place
    root->SetAttribute("id", "$405");

    const std::string expected =
        "<?xml version=\"1.0\"?>\n"
        "<language name=\"language\" id=\"$405\">\n"
        "\t<forms>\n"
        "\t\t<fMain caption=\"a &amp; &lt;b&gt; &quot;c&quot; 'd'\" hint=\"second\"/>\n"
        "\t</forms>\n"
        "</language>\n";
    EXPECT_EQ(doc.SaveToString(), expected);

    TXmlDocument back;
    back.LoadFromString(doc.SaveToString());
    auto again = back.DocumentElement()->FindChild("forms")->FindChild("fMain");
    EXPECT_EQ(again->GetAttribute("caption"), "a & <b> \"c\" 'd'");
    EXPECT_TRUE(again->RemoveAttribute("hint"));
    EXPECT_FALSE(again->RemoveAttribute("hint"));
    EXPECT_FALSE(again->HasAttribute("hint"));
}

TEST(XmlDocument, KeepsTheDeclaredWindows1250EncodingAndAppendsIndented)
{
    TTempDir dir;
    const fs::path file = dir.Path / "Export.lng.xml";
    WriteFile(file,
              "<?xml version=\"1.0\" encoding=\"windows-1250\" ?>\n"
              "<language name=\"\xE8" "esky\">\n"
              "  <forms>\n    <fMain caption=\"P\xF8ipojit\"/>\n  </forms>\n"
              "</language>\n");
    TXmlDocument doc;
    doc.LoadFromFile(file);
    EXPECT_EQ(doc.FileName(), file);
    EXPECT_EQ(doc.Encoding(), "windows-1250");
    auto root = doc.DocumentElement();
    EXPECT_EQ(root->GetAttribute("name"), "\xC4\x8D" "esky");  // UTF-8 in memory
    root->FindChild("forms")->AppendChild("fMain")->SetAttribute("caption", "Odpojit \xC4\x8D");

    doc.SaveToFile(file);
    EXPECT_FALSE(fs::exists(dir.Path / "Export.lng.xml.tmp"));
    std::ifstream in(file, std::ios::binary);
    std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved,
              "<?xml version=\"1.0\" encoding=\"windows-1250\"?>\n"
              "<language name=\"\xE8" "esky\">\n"
              "\t<forms>\n"
              "\t\t<fMain caption=\"P\xF8ipojit\"/>\n"
              "\t\t<fMain caption=\"Odpojit \xE8\"/>\n"
              "\t</forms>\n"
              "</language>\n");
}

TEST(XmlDocument, BadInputRaisesAndKeepsThePreviousDocument)
{
    TXmlDocument doc;
    doc.LoadFromString("<a><b/></a>");
    try {
        doc.LoadFromString("<a>\n<b></a>");
        ADD_FAILURE() << "malformed XML accepted";
    } catch (const EXmlError& e) {
        EXPECT_NE(e.Message().find("line 2"), std::string::npos) << e.Message();
    }
    EXPECT_THROW(doc.LoadFromString(""), EXmlError);
    EXPECT_THROW(doc.LoadFromFile("/nonexistent/dir/x.lng.xml"), EXmlError);
    ASSERT_TRUE(doc.Active());
    EXPECT_EQ(doc.DocumentElement()->ChildElements().size(), 1u);

    auto root = doc.DocumentElement();
    EXPECT_THROW(root->SetAttribute("a b", "x"), EXmlError);
    EXPECT_THROW(root->SetAttribute("", "x"), EXmlError);
    EXPECT_THROW(root->AppendChild("1st"), EXmlError);
    EXPECT_THROW(root->SetAttribute("v", "bell\x07"), EXmlError);  // not representable in XML 1.0
    EXPECT_THROW(root->SetAttribute("v", "\xFF\xFE"), EXmlError);  // not UTF-8
    EXPECT_THROW(root->SetAttribute("v", std::string("a\0b", 3)), EXmlError);
    EXPECT_FALSE(root->HasAttribute("v"));
    EXPECT_NO_THROW(root->SetAttribute("v", "tab\tand\nline"));

    TXmlDocument empty;
    EXPECT_THROW(empty.SaveToString(), EXmlError);
    TTempDir dir;
    EXPECT_THROW(doc.SaveToFile(dir.Path / "missing" / "out.xml"), EXmlError);
}

TEST(XmlDocument, ElementsOutliveTheirDocument)
{
    IntfPtr<TXmlElement> kept;
    {
        TXmlDocument doc;
        doc.LoadFromString("<r><c name='kept'/></r>");
        kept = doc.DocumentElement()->FindChild("c");
        doc.LoadFromString("<other/>");  // the first tree is still referenced
        EXPECT_EQ(doc.DocumentElement()->Name(), "other");
    }
    EXPECT_EQ(kept->GetAttribute("name"), "kept");
    kept->SetAttribute("name", "changed");
    EXPECT_EQ(kept->ParentElement()->Name(), "r");
}

TEST(XmlDocument, NeverLoadsExternalEntitiesOrTouchesTheNetwork)
{
    TTempDir dir;
    WriteFile(dir.Path / "secret.txt", "SECRET");

    // A local HTTP port that counts (and at once drops) every connection.
    int server = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(server, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(server, 4), 0);
    socklen_t len = sizeof addr;
    ::getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    std::atomic<int> connections{0};
    std::atomic<bool> stop{false};
    std::thread acceptor([&] {
        while (!stop) {
            pollfd p{server, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                int c = ::accept(server, nullptr, nullptr);
                if (c >= 0) {
                    ++connections;
                    ::close(c);
                }
            }
        }
    });

    const std::string text = "<?xml version='1.0'?>\n"
                             "<!DOCTYPE r SYSTEM '" + url + "/r.dtd' [\n"
                             "  <!ENTITY file SYSTEM 'file://" + (dir.Path / "secret.txt").string() + "'>\n"
                             "  <!ENTITY net SYSTEM '" + url + "/e.xml'>\n"
                             "]>\n"
                             "<r><a>&file;</a><b>&net;</b></r>";
    TXmlDocument doc;
    try {
        doc.LoadFromString(text);
        EXPECT_EQ(doc.DocumentElement()->Text().find("SECRET"), std::string::npos);
    } catch (const EXmlError&) {
        // Refusing the document is just as good.
    }
    EXPECT_THROW(doc.LoadFromFile(url + "/x.xml"), EXmlError);

    stop = true;
    acceptor.join();
    EXPECT_EQ(connections.load(), 0) << "the parser connected to " << url;
    ::close(server);
}

TEST(XmlDocument, EntityExpansionBombIsRefused)
{
    std::string text = "<?xml version='1.0'?>\n<!DOCTYPE r [\n<!ENTITY e0 'aaaaaaaaaa'>\n";
    for (int i = 1; i <= 9; ++i) {
        text += "<!ENTITY e" + std::to_string(i) + " '";
        for (int k = 0; k < 10; ++k)
            text += "&e" + std::to_string(i - 1) + ";";
        text += "'>\n";
    }
    text += "]>\n<r v='&e9;'>&e9;</r>";
    TXmlDocument doc;
    EXPECT_THROW(doc.LoadFromString(text), EXmlError);
}
