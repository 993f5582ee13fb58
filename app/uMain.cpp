#include "uMain.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QStandardPaths>

#include "uEditorLimits.h"
#include "uDesignStyle.h"
#include "uTrendChart.h"
#include "uFormPosUtils.h"
#include "uLanguage.h"
#include "uLanguageFlags.h"
#include "uci_FTDImanager.h"
#include "uLanguageChoice.h"
#include "uTextFit.h"
#include "uVersionInfo.h"

namespace kelvo {

using namespace design;

namespace {

// Every control is made the same way: a child of Parent named as its
// component, at the design rectangle.
template <class T>
T* Make(QWidget* Parent, const char* Name, const QRect& R)
{
    T* w = new T(Parent);
    w->setObjectName(QLatin1String(Name));
    w->setGeometry(R);
    return w;
}

TPanel* MakePanel(QWidget* Parent, const char* Name, const QRect& R, uint32_t Color)
{
    TPanel* p = Make<TPanel>(Parent, Name, R);
    p->SetColor(ColorFromTColor(Color));
    return p;
}

void SetTextColor(QWidget* W, uint32_t Color)
{
    QPalette p = W->palette();
    p.setColor(QPalette::WindowText, ColorFromTColor(Color));
    W->setPalette(p);
}

QLabel* MakeLabel(QWidget* Parent, const char* Name, const QRect& R, const QString& Text, const QFont& Font,
                  uint32_t Color = kText, Qt::Alignment Align = Qt::AlignLeft | Qt::AlignVCenter)
{
    QLabel* l = Make<QLabel>(Parent, Name, R);
    l->setText(Text);
    l->setFont(Font);
    l->setAlignment(Align);
    SetTextColor(l, Color);
    return l;
}

// A page heading: "Trebuchet MS" 21 px.
QLabel* MakeHeading(QWidget* Parent, const char* Name, const QPoint& At, int Width, const QString& Text)
{
    return MakeLabel(Parent, Name, QRect(At, QSize(Width, 30)), Text, CaptionFont(21));
}

// A rounded button of 94 × 28 with a 16 px caption.
TShapeEx* MakeButton(QWidget* Parent, const char* Name, const QPoint& At, const QString& Caption,
                     TShapeExColorSchema* Schema, QSize Size = QSize(94, 28))
{
    TShapeEx* s = Make<TShapeEx>(Parent, Name, QRect(At, Size));
    s->SetShape(TShapeEx::stRoundRect);
    s->SetRoundCorner(8);
    s->SetCaption(Caption);
    s->setFont(CaptionFont(16));
    s->SetColorSchema(Schema);
    s->SetBrushColor(ColorFromTColor(kPage));
    s->SetPenColor(ColorFromTColor(kWindow));
    s->SetFontColor(ColorFromTColor(kText));
    return s;
}

// A frame: no schema, its own brush and pen.
TShapeEx* MakeFrame(QWidget* Parent, const char* Name, const QRect& R, uint32_t Brush, uint32_t Pen, int Corner,
                    TShapeEx::TShapeType Shape = TShapeEx::stRoundRect)
{
    TShapeEx* s = Make<TShapeEx>(Parent, Name, R);
    s->SetShape(Shape);
    s->SetRoundCorner(Corner);
    s->SetBrushColor(ColorFromTColor(Brush));
    s->SetPenColor(ColorFromTColor(Pen));
    return s;
}

// A row of the communication and channel pages: 685 × 25 in the row
// colour, its label on the left.
TPanel* MakeRow(QWidget* Parent, const char* Name, int Y, const char* LabelName, const QString& Text, QLabel*& Label,
                int LabelPixels = 16)
{
    TPanel* row = MakePanel(Parent, Name, QRect(2, Y, 685, 25), kRow);
    Label = MakeLabel(row, LabelName, QRect(9, 2, 330, 21), Text, CaptionFont(LabelPixels));
    return row;
}

// The editor of a row at x 344.
template <class T>
T* MakeEditor(TPanel* Row, const char* Name, int Width = 185)
{
    T* e = Make<T>(Row, Name, QRect(344, 2, Width, 21));
    e->setFont(CaptionFont(13));
    return e;
}

QCheckBox* MakeCheck(QWidget* Parent, const char* Name, const QPoint& At)
{
    QCheckBox* c = Make<QCheckBox>(Parent, Name, QRect(At, QSize(17, 17)));
    c->setFont(CaptionFont(13));
    return c;
}

template <class T>
T* MakeNumber(TPanel* Row, const char* Name, double Min, double Max)
{
    T* e = MakeEditor<T>(Row, Name);
    e->setFont(CaptionFont(11));
    e->SetMaxValue(static_cast<decltype(e->MaxValue())>(Max));
    e->SetMinValue(static_cast<decltype(e->MinValue())>(Min));
    e->SetIncrement(1);
    return e;
}

}  // namespace

TfMain::TfMain(QWidget* Parent, TLanguage* Lang, TFTDIManager* Manager, IInterfaceSource* Interfaces)
    : QWidget(Parent), FLanguage(Lang ? Lang : &Language()), FManager(Manager)
{
    if (Manager)
        FOwnSource = std::make_unique<TDeviceManagerSource>(*Manager);
    else if (!Interfaces)
        FOwnSource = std::make_unique<TFixedInterfaces>();  // nothing to search
    FLogic = std::make_unique<TMainLogic>(Interfaces && !Manager ? *Interfaces : *FOwnSource, *this);
    InstallFontFallbacks();
    setObjectName(QStringLiteral("fMain"));
    // A fixed dialog-style window with the system menu only.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(695, 551);
    setWindowTitle(QStringLiteral("Kelvo setup v.1.0"));
    setFont(DesignFont(kWindowFamily, 11));
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, ColorFromTColor(kWindow));
    setPalette(p);

    CreateSchemas();
    CreateHeader();
    CreateTabs();
    CreateBottomBar();
    CreatePages();
    CreateTexts();
    ConnectTabs();
    ConnectBehaviour();
    FLanguage->AddForm(this);
}

TfMain::~TfMain()
{
    if (FManager) {
        FManager->SetOnArrival(TCiNotifyEvent());
        FManager->SetOnRemoval(TCiNotifyEvent());
    }
    FLanguage->RemoveForm(this);
}

void TfMain::CreateSchemas()
{
    auto schema = [this](const char* Name, uint32_t HoverBrush, uint32_t HoverBorder) {
        auto* s = new TShapeExColorSchema(this);
        s->setObjectName(QLatin1String(Name));
        s->DefaultBrushColor = ColorFromTColor(kPage);
        s->DefaultFontColor = ColorFromTColor(kText);
        s->DefaultBorderColor = ColorFromTColor(kWindow);
        s->OnMouseBrushColor = ColorFromTColor(HoverBrush);
        s->OnMouseFontColor = ColorFromTColor(kBlack);
        s->OnMouseBorderColor = ColorFromTColor(HoverBorder);
        s->DownBrushColor = ColorFromTColor(kWindow);
        s->DownFontColor = ColorFromTColor(kBlack);
        s->DownBorderColor = ColorFromTColor(kText);
        s->DisabledBrushColor = s->DisabledFontColor = s->DisabledBorderColor = ColorFromTColor(kBlack);
        return s;
    };
    ShapeExColorSchema1 = schema("ShapeExColorSchema1", kWindow, kText);
    ShapeExColorSchema2 = schema("ShapeExColorSchema2", kRow, kBlack);

    ImageList1 = new TImageList(this);
    ImageList1->setObjectName(QStringLiteral("ImageList1"));
    ImageList1->Images = {LanguageFlag(QStringLiteral("CZ")), LanguageFlag(QStringLiteral("GB"))};

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
}

void TfMain::CreateHeader()
{
    pTop = MakePanel(this, "pTop", QRect(0, 0, 695, 112), kWhite);
    imgXX = Make<TImage>(pTop, "imgXX", QRect(0, 0, 250, 112));
    imgXX->SetPicture(QStringLiteral(":/kelvo/img/kelvo.svg"));
    imgUSB = Make<TImage>(pTop, "imgUSB", QRect(0, 0, 250, 112));
    imgUSB->SetPicture(QStringLiteral(":/kelvo/img/kelvo_usb.svg"));
    imgRS = Make<TImage>(pTop, "imgRS", QRect(0, 0, 250, 112));
    imgRS->SetPicture(QStringLiteral(":/kelvo/img/kelvo_rs.svg"));
    imgTarnel = Make<TImage>(pTop, "imgTarnel", QRect(0, 0, 250, 112));
    imgTarnel->SetPicture(QStringLiteral(":/kelvo/img/tarnel.svg"));
    imgUSB->hide();
    imgRS->hide();
    imgTarnel->hide();
    // The line under the model's name, in the language shown.
    const std::pair<TImage*, const char*> subtitles[] = {
        {imgXX, "měřicí modul"}, {imgUSB, "USB"}, {imgRS, "RS232 / RS485"}, {imgTarnel, "měřicí modul"}};
    for (const auto& [image, text] : subtitles) {
        image->SetCaptionPlace(QPoint(163, 84), DesignFont(QStringLiteral("Arial"), 15), QColor(0x62, 0x87, 0x6d));
        image->SetCaption(QString::fromUtf8(text));
    }

    cbbLanguage = Make<TLanguageCombo>(pTop, "cbbLanguage", QRect(576, 5, 106, 24));
    cbbLanguage->setFont(CaptionFont(13));
    // Its entries are the language files found, not texts to translate.
    cbbLanguage->setProperty(kNoLanguageItems, true);
    cbbLanguage->addItems({QStringLiteral("česky"), QStringLiteral("english")});
    cbbLanguage->SetFlagOf([this](int Index) {
        const QVariant entry = cbbLanguage->itemData(Index);
        const auto& items = FLanguage->Items();
        if (!entry.isValid() || entry.toInt() < 0 || size_t(entry.toInt()) >= items.size())
            return QPixmap();
        const QString id = items[size_t(entry.toInt())].Item->LanguageId();
        if (id == QLatin1String("$405"))
            return ImageList1->Images.value(0);
        if (id == QLatin1String("$409"))
            return ImageList1->Images.value(1);
        return QPixmap();
    });

    // Leftovers of the design that the running program never shows.
    Label8 = MakeLabel(pTop, "Label8", QRect(262, 8, 150, 20), QStringLiteral("KelvoUSB v.1.4"), CaptionFont(13));
    Image4 = Make<TImage>(pTop, "Image4", QRect(262, 40, 32, 32));
    Image5 = Make<TImage>(pTop, "Image5", QRect(300, 40, 32, 32));
    Panel4 = MakePanel(pTop, "Panel4", QRect(340, 40, 80, 33), kPage);
    Button1 = Make<QPushButton>(Panel4, "Button1", QRect(4, 4, 72, 25));
    Button1->setText(QStringLiteral("Gen"));
    for (QWidget* w : {static_cast<QWidget*>(Label8), static_cast<QWidget*>(Image4), static_cast<QWidget*>(Image5),
                       static_cast<QWidget*>(Panel4)})
        w->hide();
    connect(Button1, &QPushButton::clicked, this, &TfMain::Button1Click);
    connect(cbbLanguage, &QComboBox::activated, this, &TfMain::cbbLanguageChange);
}

void TfMain::CreateTabs()
{
    pMenu = MakePanel(this, "pMenu", QRect(3, 116, 689, 27), kRow);
    struct TTab {
        TShapeEx** Field;
        const char* Name;
        int X;
        const char* Caption;
        int Tag;
    };
    const TTab tabs[] = {{&sbMeasuring, "sbMeasuring", 14, "Měření", 0},
                         {&sbCommunication, "sbCommunication", 85, "Komunikace", 0},
                         {&sbChannel1, "sbChannel1", 156, "Kanál 1", 1},
                         {&sbChannel2, "sbChannel2", 227, "Kanál 2", 2},
                         {&ShapeEx3, "ShapeEx3", 298, "Kanál 3", 3},
                         {&ShapeEx4, "ShapeEx4", 369, "Kanál 4", 4},
                         {&sbTrend, "sbTrend", 440, "Průběh", 0}};
    for (const TTab& t : tabs) {
        TShapeEx* s = MakeButton(pMenu, t.Name, QPoint(t.X, 2), QString::fromUtf8(t.Caption), ShapeExColorSchema2,
                                 QSize(70, 23));
        s->setFont(CaptionFont(11));
        s->SetGroup(1);
        s->SetAllowDown(true);
        s->SetAllowUp(false);
        s->SetTag(t.Tag);
        *t.Field = s;
    }
    // A second click on the pressed "Měření" releases it.
    sbMeasuring->SetAllowUp(true);
}

void TfMain::CreateBottomBar()
{
    pBottomButtonPanel = MakePanel(this, "pBottomButtonPanel", QRect(3, 509, 689, 41), kWindow);
    sSaveChanges1 = MakeButton(pBottomButtonPanel, "sSaveChanges1", QPoint(475, 7), QStringLiteral("Uložit"),
                               ShapeExColorSchema1);
    ShapeEx2 = MakeButton(pBottomButtonPanel, "ShapeEx2", QPoint(584, 7), QStringLiteral("Odpojit"), ShapeExColorSchema1);
    // What the window tells after a save, left of the buttons.
    lNotice = MakeLabel(pBottomButtonPanel, "lNotice", QRect(10, 7, 455, 28), QString(), CaptionFont(13));
    for (TShapeEx* s : {sSaveChanges1, ShapeEx2}) {
        s->SetBrushColor(ColorFromTColor(kWindow));
        s->SetPenColor(ColorFromTColor(kText));
    }
    // Shown once the working copy differs from what was read.
    sSaveChanges1->hide();
}

void TfMain::CreatePages()
{
    CreateConnectionPage();
    CreateChannelPage();
    CreateMeasurePage();
    CreateSearchPage();
    CreateSearchingPage();
    CreateErrorPage();
    CreateTrendPage();
}

void TfMain::CreateSearchPage()
{
    pSearch = MakePanel(this, "pSearch", QRect(3, 115, 689, 438), kPage);
    lSearchHeading = MakeHeading(pSearch, "lSearchHeading", QPoint(9, 7), 400, QStringLiteral("Vyhledání modulu"));
    shpxMainSearch = MakeFrame(pSearch, "shpxMainSearch", QRect(112, 56, 465, 83), kRow, kWindow, 16);
    imgSearch = Make<TImage>(pSearch, "imgSearch", QRect(128, 71, 49, 49));
    imgSearch->SetPicture(QStringLiteral(":/kelvo/img/search.svg"));
    lSearchHint = MakeLabel(pSearch, "lSearchHint", QRect(192, 71, 245, 50),
                            QStringLiteral("Prohledat všechna USB rozhraní a dostupné sériové porty."), CaptionFont(13));
    lSearchHint->setWordWrap(true);
    shpxSearchSettings = MakeButton(pSearch, "shpxSearchSettings", QPoint(443, 92), QString(), ShapeExColorSchema1,
                                    QSize(28, 28));
    img1 = Make<TImage>(pSearch, "img1", QRect(446, 95, 23, 23));
    img1->SetPicture(QStringLiteral(":/kelvo/img/settings.svg"));
    // The image is a part of the toggle: hover and clicks go to the shape.
    img1->setAttribute(Qt::WA_TransparentForMouseEvents);
    sSearch = MakeButton(pSearch, "sSearch", QPoint(475, 92), QStringLiteral("Hledat"), ShapeExColorSchema1);

    shpxSearchDivider = MakeFrame(pSearch, "shpxSearchDivider", QRect(128, 131, 441, 1), kWindow, kWindow, 0,
                                  TShapeEx::stRectangle);
    lSearchSpeeds = MakeLabel(pSearch, "lSearchSpeeds", QRect(128, 150, 430, 24),
                              QStringLiteral("Při vyhledávání používat rychlosti:"), CaptionFont(16));
    struct TSpeed {
        QCheckBox** Box;
        QLabel** Label;
        const char* BoxName;
        const char* LabelName;
        const char* Caption;
    };
    const TSpeed left[] = {{&chkSearch300, &lSearch300, "chkSearch300", "lSearch300", "300 bps"},
                           {&chkSearch600, &lSearch600, "chkSearch600", "lSearch600", "600 bps"},
                           {&chkSearch1200, &lSearch1200, "chkSearch1200", "lSearch1200", "1.200 bps"},
                           {&chkSearch2400, &lSearch2400, "chkSearch2400", "lSearch2400", "2.400 bps"},
                           {&chkSearch4800, &lSearch4800, "chkSearch4800", "lSearch4800", "4.800 bps"},
                           {&chkSearch9600, &lSearch9600, "chkSearch9600", "lSearch9600", "9.600 bps"}};
    const TSpeed right[] = {{&chkSearch19200, &lSearch19200, "chkSearch19200", "lSearch19200", "19.200 bps"},
                            {&chkSearch38400, &lSearch38400, "chkSearch38400", "lSearch38400", "38.400 bps"},
                            {&chkSearch57600, &lSearch57600, "chkSearch57600", "lSearch57600", "57.600 bps"},
                            {&chkSearch115200, &lSearch115200, "chkSearch115200", "lSearch115200", "115.200 bps"},
                            {&chkSearch230400, &lSearch230400, "chkSearch230400", "lSearch230400", "230.400 bps"}};
    auto column = [this](const auto& Speeds, int X) {
        int y = 190;
        for (const TSpeed& s : Speeds) {
            *s.Box = MakeCheck(pSearch, s.BoxName, QPoint(X, y + 2));
            *s.Label = MakeLabel(pSearch, s.LabelName, QRect(X + 22, y, 110, 21), QString::fromUtf8(s.Caption),
                                 CaptionFont(13));
            y += 24;
        }
    };
    column(left, 192);
    column(right, 336);
    chkSearch9600->setChecked(true);
    chkSearch115200->setChecked(true);
    // Checked and hidden; nothing reads it.
    cbOnlyStandartSpeeds = Make<QCheckBox>(pSearch, "cbOnlyStandartSpeeds", QRect(128, 322, 430, 17));
    cbOnlyStandartSpeeds->setText(
        QStringLiteral("Při vyhledávání použít jen standartní rychlosti 9 600 bps a 115 200 bps"));
    cbOnlyStandartSpeeds->setFont(CaptionFont(13));
    cbOnlyStandartSpeeds->setChecked(true);
    cbOnlyStandartSpeeds->hide();

    sFoundedModules = MakeFrame(pSearch, "sFoundedModules", QRect(112, 150, 465, 201), kRow, kWindow, 16);
    lFoundedModules = MakeLabel(pSearch, "lFoundedModules", QRect(128, 160, 430, 24),
                                QStringLiteral("Byly detekovány tyto moduly Kelvo:"), CaptionFont(16));
    lFoundedType = MakeLabel(pSearch, "lFoundedType", QRect(138, 186, 136, 18), QStringLiteral("typ modulu"),
                             CaptionFont(13));
    lFoundedInterface = MakeLabel(pSearch, "lFoundedInterface", QRect(278, 186, 146, 18), QStringLiteral("rozhraní"),
                                  CaptionFont(13));
    lFoundedSerial = MakeLabel(pSearch, "lFoundedSerial", QRect(428, 186, 130, 18), QStringLiteral("výrobní číslo"),
                               CaptionFont(13));
    lbFoundedModules = Make<QListWidget>(pSearch, "lbFoundedModules", QRect(128, 206, 433, 98));
    lbFoundedModules->setFrameShape(QFrame::NoFrame);
    lbFoundedModules->setFont(CaptionFont(13));
    lbFoundedModules->setItemDelegate(new TFoundModuleDelegate(lbFoundedModules));
    lbFoundedModules->setUniformItemSizes(true);
    // The rows are as wide as the list: more rows than fit scroll up and
    // down, never sideways.
    lbFoundedModules->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    sConnect = MakeButton(pSearch, "sConnect", QPoint(475, 314), QStringLiteral("Připojit"), ShapeExColorSchema1);
    // What a search that found nothing has to say, where the list would be.
    lSearchNotice = MakeLabel(pSearch, "lSearchNotice", QRect(128, 160, 430, 120), QString(), CaptionFont(16),
                              kText, Qt::AlignLeft | Qt::AlignTop);
    lSearchNotice->setWordWrap(true);
    lSearchNotice->hide();

    connect(shpxSearchSettings, &TShapeEx::clicked, this, &TfMain::shpxSearchSettingsClick);
}

void TfMain::CreateSearchingPage()
{
    pSearching = MakePanel(this, "pSearching", QRect(3, 115, 689, 432), kPage);
    lSearchingHeading =
        MakeHeading(pSearching, "lSearchingHeading", QPoint(9, 7), 400, QStringLiteral("Vyhledání modulu"));
    ShapeEx1 = MakeFrame(pSearching, "ShapeEx1", QRect(112, 56, 465, 121), kRow, kWindow, 16);
    imgSearching = Make<TImage>(pSearching, "imgSearching", QRect(128, 72, 49, 49));
    imgSearching->SetPicture(QStringLiteral(":/kelvo/img/search.svg"));
    lSearching = MakeLabel(pSearching, "lSearching", QRect(192, 74, 249, 22),
                           QStringLiteral("Vyhledávám modul na rozhraní:"), CaptionFont(16));
    lConnectionDesc = MakeLabel(pSearching, "lConnectionDesc", QRect(192, 98, 249, 22),
                                QStringLiteral("COM 6 / 9 600 bps"), CaptionFont(16, true));
    ProgressBar1 = Make<QProgressBar>(pSearching, "ProgressBar1", QRect(128, 136, 433, 25));
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    // The same page while connecting: its own heading and text, no bar.
    lConnectingHeading =
        MakeHeading(pSearching, "lConnectingHeading", QPoint(9, 7), 400, QStringLiteral("Připojení k modulu"));
    lConnecting = MakeLabel(pSearching, "lConnecting", QRect(192, 74, 369, 22),
                            QStringLiteral("Připojuji se k modulu na rozhraní:"), CaptionFont(16));
    lConnectingHeading->hide();
    lConnecting->hide();
    sCancel = MakeButton(pSearching, "sCancel", QPoint(475, 187), QStringLiteral("Přerušit"), ShapeExColorSchema1);
}

void TfMain::CreateConnectionPage()
{
    pConnection = MakePanel(this, "pConnection", QRect(3, 144, 689, 362), kPage);
    lConnectionHeading =
        MakeHeading(pConnection, "lConnectionHeading", QPoint(9, 4), 450, QStringLiteral("Komunikační parametry"));
    pAddress = MakeRow(pConnection, "pAddress", 36, "lAddress", QStringLiteral("Adresa modulu"), lAddress);
    cbADR = MakeEditor<TOwnerDrawCombo>(pAddress, "cbADR");
    cbADR->setItemDelegate(new TAddressItemDelegate(cbADR));
    // Its entries are the addresses, drawn from the index: no texts to
    // translate, and a file must not empty the list.
    cbADR->setProperty(kNoLanguageItems, true);
    // 254 addresses: a list of 16 rows that scrolls, not one as high as the
    // screen (the popup the style would draw over the combo shows them all).
    cbADR->setMaxVisibleItems(16);
    cbADR->setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
    pSpeed = MakeRow(pConnection, "pSpeed", 64, "lSpeed", QStringLiteral("Komunikační rychlost"), lSpeed);
    cbCommunicationSpeed = MakeEditor<QComboBox>(pSpeed, "cbCommunicationSpeed");
    cbCommunicationSpeed->addItems({QStringLiteral("300 Bd"), QStringLiteral("600 Bd"), QStringLiteral("1 200 Bd"),
                                    QStringLiteral("2 400 Bd"), QStringLiteral("4 800 Bd"), QStringLiteral("9 600 Bd"),
                                    QStringLiteral("19 200 Bd"), QStringLiteral("38 400 Bd"),
                                    QStringLiteral("57 600 Bd"), QStringLiteral("115 200 Bd"),
                                    QStringLiteral("230 400 Bd")});

    lModuleInfoHeading =
        MakeHeading(pConnection, "lModuleInfoHeading", QPoint(9, 100), 450, QStringLiteral("Informace o modulu"));
    pNameAndVersion =
        MakeRow(pConnection, "pNameAndVersion", 132, "lNameAndVersion", QStringLiteral("Jméno a verze"), lNameAndVersion);
    eNameAndVersion = MakeEditor<QLineEdit>(pNameAndVersion, "eNameAndVersion");
    eNameAndVersion->setReadOnly(true);
    pPidPis = MakeRow(pConnection, "pPidPis", 160, "lPidPis", QStringLiteral("Výrobní číslo"), lPidPis);
    ePidPis = MakeEditor<QLineEdit>(pPidPis, "ePidPis");
    ePidPis->setReadOnly(true);
    pUserData = MakeRow(pConnection, "pUserData", 189, "lUserData", QStringLiteral("Uživatelská data"), lUserData);
    mUserData = MakeEditor<TMemo>(pUserData, "mUserData");
    mUserData->SetMaxLength(static_cast<int>(kUserDataEditorLength));
    mUserData->SetSingleLine(true);
    mUserData->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mUserData->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mUserData->setLineWrapMode(QPlainTextEdit::NoWrap);
    mUserData->document()->setDocumentMargin(1);

    // The configuration as a file: another module's set-up onto this one.
    sConfigLoad = MakeButton(pConnection, "sConfigLoad", QPoint(150, 236), QStringLiteral("Načíst ze souboru…"),
                             ShapeExColorSchema1, QSize(185, 28));
    sConfigSave = MakeButton(pConnection, "sConfigSave", QPoint(344, 236), QStringLiteral("Uložit do souboru…"),
                             ShapeExColorSchema1, QSize(185, 28));
    for (TShapeEx* b : {sConfigLoad, sConfigSave})
        b->setFont(CaptionFont(13));
}

void TfMain::CreateChannelPage()
{
    pChannel = MakePanel(this, "pChannel", QRect(3, 144, 689, 362), kPage);
    pChannel->SetTag(1);
    lChannel = MakeHeading(pChannel, "lChannel", QPoint(9, 4), 150, QStringLiteral("Kanál 1"));
    Label4 = MakeLabel(pChannel, "Label4", QRect(160, 10, 420, 22), QStringLiteral("( Vstupní rozsah: - )"),
                       CaptionFont(13));

    pName = MakeRow(pChannel, "pName", 36, "lChannelName", QStringLiteral("Jméno kanálu"), lChannelName);
    eChannelName = MakeEditor<QLineEdit>(pName, "eChannelName");
    eChannelName->setMaxLength(static_cast<int>(kChannelNameEditorLength));
    eChannelName->setToolTip(QStringLiteral("Název kanálu (max. 20 znaků)"));

    p4_20mA = MakeRow(pChannel, "p4_20mA", 62, "l4_20mA",
                      QStringLiteral("Ke vstupu je připojeno čidlo s výstupem 4 až 20 mA"), l4_20mA, 13);
    l4_20mA->resize(430, 21);
    cb4_20mA = MakeCheck(p4_20mA, "cb4_20mA", QPoint(443, 4));

    pUnit = MakeRow(pChannel, "pUnit", 88, "lUnit", QStringLiteral("Jednotka"), lUnit);
    eChannelUnit = MakeEditor<QLineEdit>(pUnit, "eChannelUnit");
    eChannelUnit->setMaxLength(static_cast<int>(kUnitEditorLength));
    eChannelUnit->setToolTip(QStringLiteral("Jednotka měřené veličiny po přepočtu (max. 5 znaků)"));

    pRangeMax = MakeRow(pChannel, "pRangeMax", 114, "lRangeMax", QStringLiteral("Horní hranice rozsahu"), lRangeMax);
    deValueRangeMax =
        MakeNumber<TDoubleEdit>(pRangeMax, "deValueRangeMax", kRangeEditorLimits.Min, kRangeEditorLimits.Max);
    pRangeMin = MakeRow(pChannel, "pRangeMin", 140, "lRangeMin", QStringLiteral("Dolní hranice rozsahu"), lRangeMin);
    deValueRangeMin =
        MakeNumber<TDoubleEdit>(pRangeMin, "deValueRangeMin", kRangeEditorLimits.Min, kRangeEditorLimits.Max);
    pDecimals = MakeRow(pChannel, "pDecimals", 166, "lDecimals",
                        QStringLiteral("Počet desetinných míst pro zaokrouhlení"), lDecimals);
    ieDecimals = MakeNumber<TIntEdit>(pDecimals, "ieDecimals", kDecimalsEditorLimits.Min, kDecimalsEditorLimits.Max);
    ieDecimals->setToolTip(QStringLiteral("Počet desetiných míst"));
    pnlChannelGain = MakeRow(pChannel, "pnlChannelGain", 192, "lChannelGain", QStringLiteral("Zesílení"), lChannelGain);
    cbbChannelGain = MakeEditor<QComboBox>(pnlChannelGain, "cbbChannelGain", 217);
    cbbChannelGain->addItems({QStringLiteral("1x"), QStringLiteral("2x"), QStringLiteral("4x"), QStringLiteral("8x"),
                              QStringLiteral("16x"), QStringLiteral("32x"), QStringLiteral("64x"),
                              QStringLiteral("128x")});

    // The watching settings: a panel of 139 pixels at the page's bottom.
    pChannelWatching = MakePanel(pChannel, "pChannelWatching", QRect(0, 362 - 139, 689, 139), kPage);
    lWatchingMearuredValue = MakeLabel(pChannelWatching, "lWatchingMearuredValue", QRect(9, 4, 450, 24),
                                       QStringLiteral("Hlídání měřené hodnoty"), CaptionFont(16, true));
    pWatchingMeasuredValue = MakeRow(pChannelWatching, "pWatchingMeasuredValue", 32, "lWatchingEnabled",
                                     QStringLiteral("Hlídání měřené hodnoty"), lWatchingEnabled);
    CheckBox2 = MakeCheck(pWatchingMeasuredValue, "CheckBox2", QPoint(443, 4));
    pWatchingMax = MakeRow(pChannelWatching, "pWatchingMax", 58, "lWatchingMax", QStringLiteral("Horní mez"),
                           lWatchingMax);
    deMaxValue = MakeNumber<TDoubleEdit>(pWatchingMax, "deMaxValue", kWatchEditorLimits.Min, kWatchEditorLimits.Max);
    pWatchingMin = MakeRow(pChannelWatching, "pWatchingMin", 84, "lWatchingMin", QStringLiteral("Dolní mez"),
                           lWatchingMin);
    deMinValue = MakeNumber<TDoubleEdit>(pWatchingMin, "deMinValue", kWatchEditorLimits.Min, kWatchEditorLimits.Max);
    pWatchngHysterese = MakeRow(pChannelWatching, "pWatchngHysterese", 110, "lWatchingHyst",
                                QStringLiteral("Hystereze"), lWatchingHyst);
    deHystValue = MakeNumber<TDoubleEdit>(pWatchngHysterese, "deHystValue", kWatchEditorLimits.Min, kWatchEditorLimits.Max);
}

void TfMain::CreateMeasurePage()
{
    pMeasure = MakePanel(this, "pMeasure", QRect(3, 144, 689, 362), kPage);
    lMeasuring = MakeHeading(pMeasure, "lMeasuring", QPoint(9, 7), 78, QStringLiteral("Měření"));
    lModuleName = MakeLabel(pMeasure, "lModuleName", QRect(88, 7, 462, 30), QString(), CaptionFont(21, false, true));

    struct TRow {
        TShapeEx** Frame;
        QLabel** Channel;
        QLabel** Name;
        QLabel** Value;
        QLabel** Unit;
    };
    const TRow rows[] = {
        {&sMeasuringChannel1Panel, &lChannel1Channel, &lChannel1Name, &lMeasuringChannel1Value, &lMeasuringChannel1Unit},
        {&sMeasuringChannel2Panel, &lChannel2Channel, &lChannel2Name, &lMeasuringChannel2Value, &lMeasuringChannel2Unit},
        {&sMeasuringChannel3Panel, &lChannel3Channel, &lChannel3Name, &lMeasuringChannel3Value, &lMeasuringChannel3Unit},
        {&sMeasuringChannel4Panel, &lChannel4Channel, &lChannel4Name, &lMeasuringChannel4Value, &lMeasuringChannel4Unit}};
    for (int i = 0; i < 4; ++i) {
        const int y = 51 + 64 * i;
        const QByteArray n = QByteArray::number(i + 1);
        *rows[i].Frame = MakeFrame(pMeasure, "sMeasuringChannel" + n + "Panel", QRect(136, y, 425, 57), kRow, kText, 16);
        *rows[i].Channel = MakeLabel(pMeasure, "lChannel" + n + "Channel", QRect(152, y + 8, 110, 18),
                                     QStringLiteral("Kanál ") + QString::fromLatin1(n), CaptionFont(13));
        *rows[i].Name = MakeLabel(pMeasure, "lChannel" + n + "Name", QRect(152, y + 28, 110, 21),
                                  QStringLiteral("Jméno kanálu"), CaptionFont(15, true));
        *rows[i].Value = MakeLabel(pMeasure, "lMeasuringChannel" + n + "Value", QRect(264, y + 10, 185, 37),
                                   QStringLiteral("-"), CaptionFont(27, true), kText, Qt::AlignRight | Qt::AlignVCenter);
        *rows[i].Unit = MakeLabel(pMeasure, "lMeasuringChannel" + n + "Unit", QRect(453, y + 10, 106, 37),
                                  QStringLiteral("-"), CaptionFont(27, true));
    }
    connect(pMeasure, &TPanel::clicked, this, &TfMain::pMeasureClick);
}

void TfMain::CreateErrorPage()
{
    pError = MakePanel(this, "pError", QRect(4, 112, 689, 433), kPage);
    lError = MakeLabel(pError, "lError", QRect(169, 127, 400, 30), QStringLiteral("Chyba při komunikaci s modulem Kelvo!"),
                       CaptionFont(21));
    ShapeEx5 = MakeButton(pError, "ShapeEx5", QPoint(235, 175), QStringLiteral("Opakovat"), ShapeExColorSchema1);
    ShapeEx6 = MakeButton(pError, "ShapeEx6", QPoint(360, 175), QStringLiteral("Odpojit"), ShapeExColorSchema1);
}

void TfMain::CreateTrendPage()
{
    pTrend = MakePanel(this, "pTrend", QRect(3, 144, 689, 362), kPage);
    lTrend = MakeHeading(pTrend, "lTrend", QPoint(9, 4), 300, QStringLiteral("Průběh"));
    // The time window shown: one of three, a group of their own.
    struct TWindow {
        TShapeEx** Field;
        const char* Name;
        const char* Caption;
        int X;
        int Ms;
    };
    const TWindow windows[] = {{&sTrendMinute, "sTrendMinute", "1 min", 446, 60000},
                               {&sTrend10Minutes, "sTrend10Minutes", "10 min", 524, 600000},
                               {&sTrendHour, "sTrendHour", "1 h", 602, 3600000}};
    TrendChart1 = Make<TTrendChart>(pTrend, "TrendChart1", QRect(9, 40, 671, 316));
    for (const TWindow& w : windows) {
        TShapeEx* s = MakeButton(pTrend, w.Name, QPoint(w.X, 8), QString::fromUtf8(w.Caption), ShapeExColorSchema2,
                                 QSize(72, 23));
        s->setFont(CaptionFont(11));
        s->SetGroup(2);
        s->SetAllowDown(true);
        s->SetAllowUp(false);
        s->SetTag(w.Ms);
        connect(s, &TShapeEx::clicked, this, [this, s] { TrendChart1->SetWindowMs(s->Tag()); });
        *w.Field = s;
    }
    sTrendMinute->SetDown(true);
    TrendChart1->SetWindowMs(60000);

    // Recording the ticks to a CSV file: one button starts, the other stops.
    sTrendRecordStart = MakeButton(pTrend, "sTrendRecordStart", QPoint(150, 8), QStringLiteral("Záznam do souboru…"),
                                   ShapeExColorSchema1, QSize(150, 23));
    sTrendRecordStop = MakeButton(pTrend, "sTrendRecordStop", QPoint(150, 8), QStringLiteral("Zastavit záznam"),
                                  ShapeExColorSchema1, QSize(150, 23));
    for (TShapeEx* b : {sTrendRecordStart, sTrendRecordStop})
        b->setFont(CaptionFont(11));
    sTrendRecordStop->hide();
    lTrendRecordFile = MakeLabel(pTrend, "lTrendRecordFile", QRect(306, 8, 136, 23), QString(), CaptionFont(11));
}

void TfMain::CreateTexts()
{
    auto text = [this](const char* Name, const char* Caption) { return new TText(this, Name, QString::fromUtf8(Caption)); };
    // %1 the interface; a probe's %2 is the speed as its check box names it.
    txWaitProbe = text("txWaitProbe", "%1 / %2");
    txWaitIdentification = text("txWaitIdentification", "%1: identifikace");
    txWaitChannelConfig = text("txWaitChannelConfig", "%1: nastavení kanálu %2");
    txWaitChannelWatch = text("txWaitChannelWatch", "%1: hlídání kanálu %2");
    txWait4to20mA = text("txWait4to20mA", "%1: volba 4–20 mA");
    txWaitCommSettings = text("txWaitCommSettings", "%1: komunikační parametry");
    txWaitUserData = text("txWaitUserData", "%1: uživatelská data");
    txWaitProductionData = text("txWaitProductionData", "%1: výrobní číslo");
    txWaitAttempt = text("txWaitAttempt", "%1 (pokus %2 z %3)");
    txNoModuleFound = text("txNoModuleFound", "Nenalezen žádný modul.");
    txSaving = text("txSaving", "Ukládám… (%1 z %2)");
    txSaved = text("txSaved", "Změny byly uloženy do modulu.");
    txSaveNotTaken = text("txSaveNotTaken", "Modul nepřijal všechny změny; zobrazeno je, co nyní obsahuje.");
    txSaveFailed = text("txSaveFailed", "Modul po uložení neodpovídá.");
    txCloseWithUnsavedChanges = text("txCloseWithUnsavedChanges", "Neuložené změny budou ztraceny. Zavřít okno?");
    // Configuration files and recordings; %1 is the file.
    txTakeCommSettings = text("txTakeCommSettings",
                              "Soubor pochází z jiného modulu (%1), tento modul je %2. Převzít i jeho adresu a rychlost?");
    txRecordingCannotStart = text("txRecordingCannotStart", "Do souboru %1 nelze zapisovat: %2");
    txRecordingEnded = text("txRecordingEnded", "Záznam do souboru %1 skončil: %2");
    txConfigurationSaved = text("txConfigurationSaved", "Nastavení bylo uloženo do souboru %1.");
    txConfigurationCannotSave = text("txConfigurationCannotSave", "Nastavení nelze uložit do souboru %1: %2");
    txConfigurationLoaded = text("txConfigurationLoaded", "Nastavení ze souboru %1 je v editorech; Uložit zapíše, co se liší.");
    txConfigurationCannotRead = text("txConfigurationCannotRead", "Soubor %1 nelze přečíst: %2");
    txConfigurationInvalid = text("txConfigurationInvalid", "Soubor %1 není úplný soubor nastavení modulu: %2");
    txConfigurationOtherModel = text("txConfigurationOtherModel", "Soubor %1 obsahuje nastavení modulu %2, ne modulu %3.");
    txConfigurationOutOfLimits = text("txConfigurationOutOfLimits", "Soubor %1 obsahuje hodnotu, kterou modul nepřijme: %2");
    txRecordFileTitle = text("txRecordFileTitle", "Záznam měření do souboru");
    txRecordFileFilter = text("txRecordFileFilter", "Záznam měření (*.csv)");
    txConfigSaveTitle = text("txConfigSaveTitle", "Uložit nastavení modulu do souboru");
    txConfigLoadTitle = text("txConfigLoadTitle", "Načíst nastavení modulu ze souboru");
    txConfigFileFilter = text("txConfigFileFilter", "Nastavení modulu (*.json)");
    // Why a search could not open an interface; %1 the interface.
    txNoPermissionJoin = text("txNoPermissionJoin", "%1: bez oprávnění; přidejte se do skupiny %2 a přihlaste se znovu.");
    txNoPermission = text("txNoPermission", "%1: bez oprávnění k otevření.");
    txInUseBy = text("txInUseBy", "%1: používá jiný program (%2).");
    txInUse = text("txInUse", "%1: používá jiný program.");
    txNotSerial = text("txNotSerial", "%1: není sériový port.");
    txCannotOpen = text("txCannotOpen", "%1: nelze otevřít (%2).");
}

void TfMain::FitTexts()
{
    static const char* const kDesignWidth = "kelvoDesignWidth";
    for (QLabel* l : findChildren<QLabel*>()) {
        if (!l->property(kDesignWidth).isValid())
            l->setProperty(kDesignWidth, l->width());
        const int designed = l->property(kDesignWidth).toInt();
        QWidget* parent = l->parentWidget();
        // The label may grow up to the next control on its right, and stays
        // inside the frame it is drawn on.
        int right = parent->width() - 4;
        const QRect at(l->pos(), QSize(designed, l->height()));
        for (QWidget* sibling : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (sibling == l)
                continue;
            const QRect g = sibling->geometry();
            auto* frame = qobject_cast<TShapeEx*>(sibling);
            if (frame && !frame->ColorSchema() && g.contains(at.topLeft()) && g.width() > at.width()) {
                right = std::min(right, g.right() - 8);
            } else if (g.x() >= at.right() && g.top() < at.bottom() && g.bottom() > at.top() && !sibling->isHidden()) {
                right = std::min(right, g.x() - 4);
            }
        }
        FitLabelToText(l, designed, right);
    }
    // The measuring heading and the module's name after it share a line:
    // the name starts where the heading ends, at the design's place or later.
    FitLabelToText(lMeasuring, lMeasuring->property(kDesignWidth).toInt(), 300);
    static const int designX = lModuleName->x();
    static const int nameRight = lModuleName->x() + lModuleName->width();
    const int x = std::max(designX, lMeasuring->x() + lMeasuring->width() + 1);
    lModuleName->setGeometry(x, lModuleName->y(), nameRight - x, lModuleName->height());
}

void TfMain::FitMeasuredName(QLabel* Name, QLabel* Value)
{
    // Room up to the value's text, which is drawn right-aligned.
    const int valueLeft = Value->x() + Value->width() - QFontMetrics(Value->font()).horizontalAdvance(Value->text());
    const int room = std::max(110, valueLeft - 8 - Name->x());
    QFont f = CaptionFont(15, true);
    const QString text = Name->text();
    while (f.pixelSize() > 11 && QFontMetrics(f).horizontalAdvance(text) > room)
        f.setPixelSize(f.pixelSize() - 1);
    Name->setFont(f);
    Name->resize(room, Name->height());
    // Still too long in the smallest font: shortened, whole in its tip.
    const QString shown = QFontMetrics(f).elidedText(text, Qt::ElideRight, room);
    Name->setToolTip(shown == text ? QString() : text);
    if (shown != text)
        Name->setText(shown);
}

void TfMain::ConnectTabs()
{
    connect(sbCommunication, &TShapeEx::clicked, this, &TfMain::sbCommunicationClick);
    for (TShapeEx* tab : {sbChannel1, sbChannel2, ShapeEx3, ShapeEx4})
        connect(tab, &TShapeEx::clicked, this, [this, tab] { sbChannel1Click(tab); });
    connect(sbMeasuring, &TShapeEx::clicked, this, &TfMain::sbMeasuringClick);
    connect(sbTrend, &TShapeEx::clicked, this, [this] {
        CommitEdits();
        FLogic->ShowTrendTab();
    });
}

// --- start-up ----------------------------------------------------------------------------

void TfMain::FormCreate()
{
    InitializeLanguages();
    std::vector<std::string> params;
    const QStringList args = QCoreApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i)
        params.push_back(args[i].toStdString());
    FLogic->ScanCommandLine(params);
    if (FManager) {
        FManager->SetOnArrival(TCiNotifyEvent::Of<&TfMain::DeviceArrived>(this));
        FManager->SetOnRemoval(TCiNotifyEvent::Of<&TfMain::DeviceRemoved>(this));
    }
    FitTexts();
    ieDecimals->SetCtl3D(false);
    deValueRangeMax->SetCtl3D(false);
    // Addresses 0..253; the item index is the address.
    cbADR->clear();
    for (int a = 0; a <= 253; ++a)
        cbADR->addItem(QString::number(a));
    ShowVersionInCaption();
}

void TfMain::FormShow()
{
    // Not connected, on the search page, the settings laid out.
    FLogic->Start();
    CenterFormOnMonitor(this);
    if (cbbLanguage->count() > 0)
        cbbLanguage->setCurrentIndex(0);
    // The language of the last run, when its file is still there.
    const std::string last = LoadLanguageChoice(LanguageChoiceDirs());
    const auto& items = FLanguage->Items();
    for (int i = 0; !last.empty() && i < cbbLanguage->count(); ++i) {
        const QVariant entry = cbbLanguage->itemData(i);
        if (entry.isValid() && entry.toInt() >= 0 && size_t(entry.toInt()) < items.size()
            && items[size_t(entry.toInt())].Item->FileName().filename().string() == last) {
            cbbLanguage->setCurrentIndex(i);
            cbbLanguageChange(i);
            break;
        }
    }
}

std::vector<std::filesystem::path> TfMain::LanguageChoiceDirs() const
{
    return {FLanguage->ProgramDir(),
            std::filesystem::path(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation).toStdU16String())};
}

void TfMain::ShowVersionInCaption()
{
    setWindowTitle(QString::fromStdString(VersionCaption(ProgramFileVersion())));
}

// --- pages ---------------------------------------------------------------------------------

TPanel* TfMain::Page(TMainPage P) const
{
    switch (P) {
    case TMainPage::Search:
        return pSearch;
    case TMainPage::Searching:
        return pSearching;
    case TMainPage::Connection:
        return pConnection;
    case TMainPage::Channel:
        return pChannel;
    case TMainPage::Measure:
        return pMeasure;
    case TMainPage::Trend:
        return pTrend;
    case TMainPage::Error:
        return pError;
    }
    return pSearch;
}

TMainPage TfMain::VisiblePage() const
{
    for (TMainPage p : {TMainPage::Search, TMainPage::Searching, TMainPage::Connection, TMainPage::Channel,
                        TMainPage::Measure, TMainPage::Error, TMainPage::Trend})
        if (!Page(p)->isHidden())
            return p;
    return TMainPage::Search;
}

void TfMain::ShowPanel(TPanel* P, bool Timer)
{
    for (TPanel* page : {pSearch, pChannel, pMeasure, pConnection, pSearching, pError, pTrend})
        if (page != P)
            page->hide();
    if (P) {
        P->show();
        P->raise();
        P->setFocus(Qt::OtherFocusReason);
    }
    if (Timer)
        Timer1->start();
    else
        Timer1->stop();
}

void TfMain::sbCommunicationClick()
{
    CommitEdits();
    FLogic->ShowCommunicationTab();
}

void TfMain::sbChannel1Click(TShapeEx* Sender)
{
    CommitEdits();
    if (Sender)
        FLogic->ShowChannelTab(static_cast<uint8_t>(Sender->Tag()));
}

void TfMain::sbMeasuringClick()
{
    CommitEdits();
    FLogic->ShowMeasuringTab();
}

void TfMain::pMeasureClick()
{
    FLogic->ShowMeasuringTab();
}

std::array<TfMain::TSpeedBox, 11> TfMain::SearchSpeeds() const
{
    return {{{chkSearch300, lSearch300, 300},
             {chkSearch600, lSearch600, 600},
             {chkSearch1200, lSearch1200, 1200},
             {chkSearch2400, lSearch2400, 2400},
             {chkSearch4800, lSearch4800, 4800},
             {chkSearch9600, lSearch9600, 9600},
             {chkSearch19200, lSearch19200, 19200},
             {chkSearch38400, lSearch38400, 38400},
             {chkSearch57600, lSearch57600, 57600},
             {chkSearch115200, lSearch115200, 115200},
             {chkSearch230400, lSearch230400, 230400}}};
}

std::array<TfMain::TMeasureRow, 4> TfMain::MeasureRows() const
{
    return {{{sMeasuringChannel1Panel, lChannel1Channel, lChannel1Name, lMeasuringChannel1Value, lMeasuringChannel1Unit},
             {sMeasuringChannel2Panel, lChannel2Channel, lChannel2Name, lMeasuringChannel2Value, lMeasuringChannel2Unit},
             {sMeasuringChannel3Panel, lChannel3Channel, lChannel3Name, lMeasuringChannel3Value, lMeasuringChannel3Unit},
             {sMeasuringChannel4Panel, lChannel4Channel, lChannel4Name, lMeasuringChannel4Value,
              lMeasuringChannel4Unit}}};
}

std::array<TShapeEx*, 7> TfMain::Tabs() const
{
    return {sbMeasuring, sbCommunication, sbChannel1, sbChannel2, ShapeEx3, ShapeEx4, sbTrend};
}

// --- search page layout ----------------------------------------------------------------------

void TfMain::MarkSpeedLabel(QCheckBox* Box, QLabel* Label)
{
    const bool checked = Box->isChecked();
    SetTextColor(Label, checked ? kCheckedSpeed : kText);
    QFont f = Label->font();
    f.setBold(checked);
    Label->setFont(f);
}

void TfMain::shpxSearchSettingsClick()
{
    FLogic->ToggleSearchSettings();
}

// --- languages ----------------------------------------------------------------------------------

void TfMain::InitializeLanguages()
{
    FLanguage->FindLanguageFiles(QStringLiteral("*.lng.xml"));
    cbbLanguage->clear();
    const auto& items = FLanguage->Items();
    for (size_t i = 0; i < items.size(); ++i)
        cbbLanguage->addItem(items[i].Item->DisplayName(), int(i));
}

void TfMain::cbbLanguageChange(int Index)
{
    ApplyLanguage(Index, true);
}

void TfMain::ApplyLanguage(int Index, bool Remember)
{
    const QVariant entry = cbbLanguage->itemData(Index);
    const auto& items = FLanguage->Items();
    if (!entry.isValid() || entry.toInt() < 0 || size_t(entry.toInt()) >= items.size())
        return;
    const TLanguageItem& item = *items[size_t(entry.toInt())].Item;
    if (FLanguage->LoadFromFile(QString::fromStdU16String(item.FileName().u16string()))) {
        if (Remember)
            SaveLanguageChoice(LanguageChoiceDirs(), item.FileName().filename().string());
        FLanguage->ApplyToForm(this);
        FitTexts();
        // The file sets the design texts; what the pages show of the module
        // (a channel's heading and range, the editors) comes back.
        FLogic->RefillPage();
    }
    update();
}

void TfMain::Button1Click()
{
    ExportLanguage(QStringLiteral("Export.lng.xml"), FLanguage->Forms());
}

}  // namespace kelvo
