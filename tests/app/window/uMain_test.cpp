// The window as it stands: start-up state, design geometry, shape-button
// colours read back from rendered pixels, the tab group and page switching,
// the search-settings layout, and the FTDI setup dialog.

#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <QTemporaryDir>

#include "QtTestApp.h"
#include "uDesignStyle.h"
#include "uFormPosUtils.h"
#include "uLanguage.h"
#include "uMain.h"
#include "uVersionInfo.h"
#include "uf_FTDISetup.h"

using namespace kelvo;

namespace {

QColor Pixel(QWidget* W, int X, int Y)
{
    return W->grab().toImage().pixelColor(X, Y);
}

void Hover(QWidget* W, bool In)
{
    if (In) {
        QEnterEvent e(QPointF(2, 2), QPointF(2, 2), W->mapToGlobal(QPointF(2, 2)));
        QApplication::sendEvent(W, &e);
    } else {
        QEvent e(QEvent::Leave);
        QApplication::sendEvent(W, &e);
    }
}

}  // namespace

class MainWindow : public ::testing::Test, kelvo::testing::TWithQtApp {
protected:
    MainWindow() : Form(nullptr, &Lang)
    {
        Lang.SetProgramDir(Dir.path().toStdString());
        Form.FormCreate();
        Form.FormShow();
        Form.show();
    }
    QTemporaryDir Dir;
    TLanguage Lang;
    TfMain Form;
};

TEST_F(MainWindow, StartsOnTheSearchPage)
{
    EXPECT_EQ(Form.VisiblePage(), TMainPage::Search);
    EXPECT_FALSE(Form.Timer1->isActive());
    EXPECT_TRUE(Form.imgXX->isVisible());
    EXPECT_FALSE(Form.imgUSB->isVisible() || Form.imgRS->isVisible() || Form.imgTarnel->isVisible());
    EXPECT_FALSE(Form.lbFoundedModules->isVisible());
    EXPECT_FALSE(Form.chkSearch9600->isVisible());
    EXPECT_FALSE(Form.sSaveChanges1->isVisibleTo(&Form));
    EXPECT_EQ(Form.windowTitle().toStdString(), VersionCaption(ProgramFileVersion()));
    EXPECT_EQ(VersionCaption(std::nullopt), "Kelvo setup");
    EXPECT_EQ(VersionCaption(TProgramVersion{1, 0}), "Kelvo setup 1.0");
    ASSERT_EQ(Form.cbADR->count(), 254);
    EXPECT_EQ(Form.cbADR->itemText(253), "253");
    EXPECT_FALSE(Form.ieDecimals->Ctl3D());
    EXPECT_FALSE(Form.deValueRangeMax->Ctl3D());
    EXPECT_TRUE(Form.deValueRangeMin->Ctl3D());
    EXPECT_EQ(Form.minimumSize(), Form.maximumSize());  // not resizable
    // The design font, or the fallback where it is not installed.
    const QString family = QFontInfo(Form.lSearchHeading->font()).family();
    EXPECT_TRUE(family == "Trebuchet MS" || family == "Liberation Sans") << family.toStdString();
    EXPECT_EQ(Form.lSearchHeading->font().pixelSize(), 21);
}

TEST_F(MainWindow, ControlsStandAtTheDesignGeometry)
{
    struct Case {
        const char* Name;
        QRect Rect;
    };
    const Case cases[] = {
        {"fMain", {0, 0, 695, 551}},          {"pTop", {0, 0, 695, 112}},
        {"imgTarnel", {0, 0, 250, 112}},       {"cbbLanguage", {576, 5, 106, 24}},
        {"pMenu", {3, 116, 689, 27}},          {"sbMeasuring", {14, 2, 70, 23}},
        {"sbCommunication", {85, 2, 70, 23}},  {"ShapeEx4", {369, 2, 70, 23}},
        {"pConnection", {3, 144, 689, 362}},   {"pChannel", {3, 144, 689, 362}},
        {"pMeasure", {3, 144, 689, 362}},      {"pSearch", {3, 115, 689, 438}},
        {"pSearching", {3, 115, 689, 432}},    {"pError", {4, 112, 689, 433}},
        {"ShapeEx5", {235, 175, 94, 28}},      {"ShapeEx6", {360, 175, 94, 28}},
        {"pBottomButtonPanel", {3, 509, 689, 41}}, {"sSaveChanges1", {475, 7, 94, 28}},
        {"ShapeEx2", {584, 7, 94, 28}},        {"pAddress", {2, 36, 685, 25}},
        {"pUserData", {2, 189, 685, 25}},      {"cbADR", {344, 2, 185, 21}},
        {"p4_20mA", {2, 62, 685, 25}},         {"cb4_20mA", {443, 4, 17, 17}},
        {"pnlChannelGain", {2, 192, 685, 25}}, {"cbbChannelGain", {344, 2, 217, 21}},
        {"pChannelWatching", {0, 223, 689, 139}}, {"pWatchngHysterese", {2, 110, 685, 25}},
        {"lModuleName", {88, 7, 462, 30}},     {"sMeasuringChannel3Panel", {136, 179, 425, 57}},
        {"lMeasuringChannel4Value", {264, 253, 185, 37}}, {"lMeasuringChannel4Unit", {453, 253, 106, 37}},
        {"shpxMainSearch", {112, 56, 465, 83}}, {"imgSearch", {128, 71, 49, 49}},
        {"shpxSearchSettings", {443, 92, 28, 28}}, {"img1", {446, 95, 23, 23}},
        {"sSearch", {475, 92, 94, 28}},        {"shpxSearchDivider", {128, 131, 441, 1}},
        {"chkSearch9600", {192, 312, 17, 17}}, {"chkSearch230400", {336, 288, 17, 17}},
        {"sFoundedModules", {112, 150, 465, 201}}, {"lbFoundedModules", {128, 206, 433, 98}},
        {"sConnect", {475, 314, 94, 28}},      {"ShapeEx1", {112, 56, 465, 121}},
        {"lConnectionDesc", {192, 98, 249, 22}}, {"ProgressBar1", {128, 136, 433, 25}},
    };
    for (const Case& c : cases) {
        QWidget* w = c.Name == std::string("fMain") ? &Form : Form.findChild<QWidget*>(c.Name);
        ASSERT_TRUE(w) << c.Name;
        EXPECT_EQ(c.Name == std::string("fMain") ? QRect(QPoint(), w->size()) : w->geometry(), c.Rect) << c.Name;
    }
    EXPECT_EQ(Form.lError->pos(), QPoint(169, 127));
    EXPECT_EQ(Form.cbbLanguage->parentWidget(), Form.pTop);
}

TEST_F(MainWindow, ShapeButtonsPaintTheirStateColours)
{
    const QColor page = ColorFromTColor(design::kPage), window = ColorFromTColor(design::kWindow),
                 row = ColorFromTColor(design::kRow), text = ColorFromTColor(design::kText);
    TShapeEx* tab = Form.sbChannel2;
    const int mid = tab->height() / 2;
    struct Case {
        const char* What;
        bool Down, Hover, Enabled;
        QColor Fill, Border;
    };
    const Case cases[] = {
        {"default", false, false, true, page, window},
        {"hover", false, true, true, row, Qt::black},
        {"pressed", true, true, true, window, text},  // pressed wins over hover
        {"disabled", true, false, false, Qt::black, Qt::black},
    };
    for (const Case& c : cases) {
        tab->SetDown(c.Down);
        Hover(tab, c.Hover);
        tab->setEnabled(c.Enabled);
        EXPECT_EQ(Pixel(tab, 4, mid), c.Fill) << c.What;
        EXPECT_EQ(Pixel(tab, 0, mid), c.Border) << c.What;
    }
    // A frame without a schema keeps its brush and pen when hovered.
    TShapeEx* frame = Form.sMeasuringChannel1Panel;
    Hover(frame, true);
    EXPECT_TRUE(frame->Hover());
    EXPECT_EQ(Pixel(frame, 10, 28), row);
    EXPECT_EQ(Pixel(frame, 0, 28), text);
    // The caption is drawn centred, in the font colour of the state.
    tab->setEnabled(true);
    tab->SetDown(false);
    Hover(tab, true);
    const QImage img = tab->grab().toImage();
    int left = tab->width(), right = -1;
    for (int x = 0; x < img.width(); ++x)
        for (int y = 3; y < img.height() - 3; ++y)
            if (img.pixelColor(x, y).lightness() < 60 && x > 1 && x < img.width() - 2) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
    ASSERT_GT(right, left);
    EXPECT_LE(std::abs((left + right) / 2 - tab->width() / 2), 2);
}

TEST_F(MainWindow, SearchSettingsShareTheFoundListsPlace)
{
    Form.ShowFoundModules({"KelvoRS|COM3|0042", "KelvoUSB|USB|0007"}, 1, true);
    EXPECT_TRUE(Form.lbFoundedModules->isVisible());
    EXPECT_EQ(Form.lbFoundedModules->currentRow(), 1);

    // A click on the image reaches the toggle beneath it (routed by the window).
    QTest::mouseClick(Form.windowHandle(), Qt::LeftButton, {}, Form.img1->mapTo(&Form, QPoint(11, 11)));
    EXPECT_TRUE(Form.Logic().SearchSettingsOpen());
    EXPECT_EQ(Form.shpxMainSearch->height(), 290);
    EXPECT_FALSE(Form.lbFoundedModules->isVisible());
    EXPECT_FALSE(Form.sConnect->isVisible());
    for (const auto& s : Form.SearchSpeeds()) {
        EXPECT_TRUE(s.Box->isVisible() && s.Label->isVisible()) << s.Speed;
        const bool checked = s.Speed == 9600 || s.Speed == 115200;
        EXPECT_EQ(s.Box->isChecked(), checked) << s.Speed;
        EXPECT_EQ(s.Label->font().bold(), checked) << s.Speed;
        EXPECT_EQ(s.Label->palette().color(QPalette::WindowText),
                  ColorFromTColor(checked ? design::kCheckedSpeed : design::kText));
    }
    QTest::mouseClick(Form.chkSearch300, Qt::LeftButton);
    EXPECT_TRUE(Form.lSearch300->font().bold());

    QTest::mouseClick(Form.shpxSearchSettings, Qt::LeftButton);
    EXPECT_EQ(Form.shpxMainSearch->height(), 83);
    EXPECT_TRUE(Form.Logic().Session.SearchSpeeds.count(300));
    // No search has found anything: the list stays hidden.
    EXPECT_FALSE(Form.lbFoundedModules->isVisible());
    EXPECT_FALSE(Form.chkSearch300->isVisible());
}

TEST(FormPosUtils, CentresAndShrinksToTheMonitor)
{
    EXPECT_EQ(CenteredRect({0, 0, 695, 551}, {0, 0, 1920, 1080}), QRect(613, 265, 695, 551));
    EXPECT_EQ(CenteredRect({5, 5, 695, 551}, {1920, 0, 640, 480}), QRect(1920, 0, 640, 480));
    EXPECT_EQ(CenteredRect({0, 0, 101, 51}, {-100, 10, 201, 101}), QRect(-50, 35, 101, 51));
}

TEST(FTDISetupDialog, StandsAndCanOnlyBeDismissed)
{
    kelvo::testing::EnsureQtApp();
    TfFTDIdialog dialog;
    EXPECT_EQ(dialog.size(), QSize(315, 258));
    EXPECT_EQ(dialog.windowTitle(), "fFTDIdialog");
    EXPECT_EQ(dialog.GroupBox1->title(), "GroupBox1");
    for (QPushButton* b : {dialog.Button1, dialog.Button2, dialog.Button3}) {
        EXPECT_EQ(b->size(), QSize(75, 25));
        EXPECT_TRUE(b->text().isEmpty());
    }
    dialog.ShowBaudRate(115200);
    EXPECT_EQ(dialog.Label1->text(), "115200");

    bool changed = false;
    QTimer::singleShot(0, [] {
        if (QWidget* w = QApplication::activeModalWidget())
            QTest::mouseClick(w->findChild<QPushButton*>("Button1"), Qt::LeftButton);
    });
    QTimer::singleShot(50, [] {
        if (QWidget* w = QApplication::activeModalWidget())
            static_cast<QDialog*>(w)->reject();
    });
    EXPECT_FALSE(ShowFTDISetupDialog(nullptr, 9600, [&] { changed = true; }));
    EXPECT_FALSE(changed);
}
