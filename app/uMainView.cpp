// The main window as the view of its logic: it shows what TMainLogic tells
// it and forwards every click, edit and timer tick to it. Nothing here
// decides anything.

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSignalBlocker>

#include "uDesignStyle.h"
#include "uMain.h"
#include "uMainThreadQueue.h"
#include "uMessageSink.h"
#include "uModuleText.h"
#include "uTrendChart.h"

namespace kelvo {

using namespace design;

namespace {

// Module bytes (Windows-1250) for the window, and back.
QString FromModule(const std::string& Bytes)
{
    return QString::fromStdString(ModuleTextToUtf8(Bytes));
}

std::string ToModule(const QString& Text)
{
    // A character the module cannot store becomes "?" rather than dropping
    // the whole edit.
    std::string out;
    for (const QChar c : Text) {
        const auto bytes = Utf8ToModuleText(QString(c).toStdString());
        out += bytes ? *bytes : std::string("?");
    }
    return out;
}

void SetBase(QWidget* W, uint32_t Color)
{
    QPalette p = W->palette();
    p.setColor(QPalette::Base, ColorFromTColor(Color));
    p.setColor(QPalette::Button, ColorFromTColor(Color));
    W->setPalette(p);
}

void SetText(QWidget* W, uint32_t Color)
{
    QPalette p = W->palette();
    p.setColor(QPalette::WindowText, ColorFromTColor(Color));
    W->setPalette(p);
}

// "( Vstupní rozsah: 0..10 V )" in the language shown: the label's own
// text up to its colon, then the range.
QString RangeLabelText(const QString& Current, const std::string& Design, const std::string& Range)
{
    const qsizetype colon = Current.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return QString::fromStdString(Design);
    return Current.left(colon + 1) + QLatin1Char(' ') + FromModule(Range) + QStringLiteral(" )");
}

// While a flow runs, the user's clicks and keys on the window are dropped
// (not kept for later: a click meant for one module must not land on the
// next one), all but those on the cancel button. Other windows (a message
// box) are not touched.
class TBusyInputFilter : public QObject {
public:
    TBusyInputFilter(TfMain* Form, QWidget* Allowed) : FForm(Form), FAllowed(Allowed) {}

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override
    {
        switch (Event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::Wheel:
        case QEvent::ContextMenu: {
            auto* w = qobject_cast<QWidget*>(Watched);
            if (!w || w->window() != FForm)
                return false;
            return w != FAllowed || Event->type() == QEvent::KeyPress || Event->type() == QEvent::KeyRelease;
        }
        default:
            return false;
        }
    }

private:
    TfMain* FForm;
    QWidget* FAllowed;
};

}  // namespace

// ---------------------------------------------------------------------------
// Forwarding

void TfMain::ConnectBehaviour()
{
    connect(sSearch, &TShapeEx::clicked, this, [this] { FLogic->ScanCIs(); });
    connect(sConnect, &TShapeEx::clicked, this, [this] { FLogic->Connect(lbFoundedModules->currentRow()); });
    for (TShapeEx* b : {ShapeEx2, ShapeEx6})
        connect(b, &TShapeEx::clicked, this, [this] { FLogic->Disconnect(); });
    connect(Image5, &TImage::clicked, this, [this] { FLogic->Disconnect(); });
    connect(ShapeEx5, &TShapeEx::clicked, this, [this] { FLogic->Retry(); });
    connect(sSaveChanges1, &TShapeEx::clicked, this, [this] {
        CommitEdits();
        FLogic->SaveChanges();
    });
    connect(sCancel, &TShapeEx::clicked, this, [this] { FLogic->Cancel(); });
    connect(Timer1, &QTimer::timeout, this, [this] { FLogic->MeasureTick(); });

    // Files: chosen here, used by the logic, which tells how it went.
    ChooseFile = [this](bool Save, const QString& Title, const QString& Filter) {
        return Save ? QFileDialog::getSaveFileName(this, Title, QString(), Filter)
                    : QFileDialog::getOpenFileName(this, Title, QString(), Filter);
    };
    AskUser = [this](const QString& Question) {
        return QMessageBox::question(this, QApplication::applicationDisplayName(), Question) == QMessageBox::Yes;
    };
    auto withFile = [this](bool Save, TText* Title, TText* Filter, bool (TMainLogic::*Use)(const std::string&)) {
        return [this, Save, Title, Filter, Use] {
            CommitEdits();
            const QString file = ChooseFile(Save, Title->Text(), Filter->Text());
            if (!file.isEmpty())
                (FLogic.get()->*Use)(file.toStdString());
        };
    };
    connect(sTrendRecordStart, &TShapeEx::clicked, this,
            withFile(true, txRecordFileTitle, txRecordFileFilter, &TMainLogic::StartRecording));
    connect(sTrendRecordStop, &TShapeEx::clicked, this, [this] { FLogic->StopRecording(); });
    connect(sConfigSave, &TShapeEx::clicked, this,
            withFile(true, txConfigSaveTitle, txConfigFileFilter, &TMainLogic::SaveConfiguration));
    connect(sConfigLoad, &TShapeEx::clicked, this,
            withFile(false, txConfigLoadTitle, txConfigFileFilter, &TMainLogic::LoadConfiguration));
    for (const TSpeedBox& s : SearchSpeeds())
        connect(s.Box, &QCheckBox::clicked, this,
                [this, speed = s.Speed](bool Checked) { FLogic->SetSearchSpeed(speed, Checked); });

    // The editors: what the user changes goes to the working copy; what a
    // page fill sets is no edit.
    auto edit = [this](auto Apply) {
        return [this, Apply](auto&&...) {
            if (FFilling == 0)
                Apply();
        };
    };
    connect(eChannelName, &QLineEdit::textChanged, this,
            edit([this] { FLogic->EditChannelName(ToModule(eChannelName->text())); }));
    connect(eChannelUnit, &QLineEdit::textChanged, this,
            edit([this] { FLogic->EditChannelUnit(ToModule(eChannelUnit->text())); }));
    connect(ieDecimals, &TMyCustomNumEdit::changeText, this, edit([this] { FLogic->EditDecimals(ieDecimals->Value()); }));
    for (TDoubleEdit* e : {deValueRangeMin, deValueRangeMax})
        connect(e, &TMyCustomNumEdit::changeText, this,
                edit([this] { FLogic->EditRange(deValueRangeMin->Value(), deValueRangeMax->Value()); }));
    connect(cb4_20mA, &QCheckBox::clicked, this, edit([this] { FLogic->EditSensor4to20mA(cb4_20mA->isChecked()); }));
    connect(cbbChannelGain, &QComboBox::activated, this,
            edit([this] { FLogic->EditGain(cbbChannelGain->currentIndex()); }));
    connect(CheckBox2, &QCheckBox::clicked, this, edit([this] { FLogic->EditWatching(CheckBox2->isChecked()); }));
    connect(deMaxValue, &TMyCustomNumEdit::changeText, this, edit([this] { FLogic->EditUpper(deMaxValue->Value()); }));
    connect(deMinValue, &TMyCustomNumEdit::changeText, this, edit([this] { FLogic->EditLower(deMinValue->Value()); }));
    connect(deHystValue, &TMyCustomNumEdit::changeText, this,
            edit([this] { FLogic->EditHysteresis(deHystValue->Value()); }));
    connect(mUserData, &QPlainTextEdit::textChanged, this,
            edit([this] { FLogic->EditUserData(ToModule(mUserData->toPlainText())); }));
    connect(cbADR, &QComboBox::activated, this, edit([this] { FLogic->EditAddress(cbADR->currentIndex()); }));
    connect(cbCommunicationSpeed, &QComboBox::activated, this,
            edit([this] { FLogic->EditSpeed(cbCommunicationSpeed->currentIndex()); }));
}

void TfMain::DeviceArrived(ICommunicationInterface* Interface)
{
    FLogic->DeviceArrived(Interface);
}

void TfMain::DeviceRemoved(ICommunicationInterface* Interface)
{
    FLogic->DeviceRemoved(Interface);
}

// ---------------------------------------------------------------------------
// Showing

void TfMain::ShowPage(TPage P, bool Timer)
{
    static constexpr TMainPage pages[] = {TMainPage::Search,  TMainPage::Searching, TMainPage::Connection,
                                          TMainPage::Channel, TMainPage::Measure,   TMainPage::Error,
                                          TMainPage::Trend,   TMainPage::Searching};
    FShownPage = P;
    // The searching page serves the connecting state too, with its texts.
    const bool connecting = P == TPage::Connecting;
    lSearchingHeading->setVisible(!connecting);
    lSearching->setVisible(!connecting);
    ProgressBar1->setVisible(!connecting);
    lConnectingHeading->setVisible(connecting);
    lConnecting->setVisible(connecting);
    ShowPanel(Page(pages[static_cast<size_t>(P)]), Timer);
    // The tab strip belongs to the connection: the search pages cover it,
    // every other page leaves it usable.
    pMenu->raise();
    if (P == TPage::Search || P == TPage::Searching || connecting) {
        Page(pages[static_cast<size_t>(P)])->raise();
        pBottomButtonPanel->hide();
    } else {
        pBottomButtonPanel->show();
    }
}

void TfMain::PressMeasuringTab()
{
    sbMeasuring->SetDown(true);
}

void TfMain::ShowHeaderImage(THeaderImage Image)
{
    imgUSB->setVisible(Image == THeaderImage::USB);
    imgRS->setVisible(Image == THeaderImage::RS);
    imgTarnel->setVisible(Image == THeaderImage::Tarnel);
    imgXX->setVisible(Image == THeaderImage::XX);
}

void TfMain::SetBusy(bool Busy)
{
    if (Busy && !FBusyFilter) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        FBusyFilter = std::make_unique<TBusyInputFilter>(this, sCancel);
        qApp->installEventFilter(FBusyFilter.get());
    } else if (!Busy && FBusyFilter) {
        qApp->removeEventFilter(FBusyFilter.get());
        FBusyFilter.reset();
        QApplication::restoreOverrideCursor();
    }
}

void TfMain::ShowSearchProgress(int Position, int Maximum)
{
    ProgressBar1->setMaximum(Maximum > 0 ? Maximum : 1);
    ProgressBar1->setValue(Position);
    ProgressBar1->repaint();
}

QString TfMain::WaitingText(const TWaitingView& W) const
{
    const QString where = FromModule(W.Interface);
    const QString channel = QString::number(W.Channel);
    QString text;
    switch (W.Step) {
    case TWaitStep::Opening: return where;
    case TWaitStep::Probe: {
        // The speed as the search settings name it, in the language shown.
        QString speed = QString::number(W.Speed);
        for (const TSpeedBox& s : SearchSpeeds())
            if (s.Speed == W.Speed)
                speed = s.Label->text();
        return txWaitProbe->Text({where, speed});
    }
    case TWaitStep::Identification: text = txWaitIdentification->Text({where}); break;
    case TWaitStep::ChannelConfig: text = txWaitChannelConfig->Text({where, channel}); break;
    case TWaitStep::ChannelWatch: text = txWaitChannelWatch->Text({where, channel}); break;
    case TWaitStep::Sensor4to20mA: text = txWait4to20mA->Text({where}); break;
    case TWaitStep::CommSettings: text = txWaitCommSettings->Text({where}); break;
    case TWaitStep::UserData: text = txWaitUserData->Text({where}); break;
    case TWaitStep::ProductionData: text = txWaitProductionData->Text({where}); break;
    }
    if (W.Attempt > 1)
        text = txWaitAttempt->Text({text, QString::number(W.Attempt), QString::number(W.Attempts)});
    return text;
}

void TfMain::ShowWaiting(const TWaitingView& Waiting)
{
    // What is waited for ("COM3: nastavení kanálu 2 (pokus 2 z 5)") may be
    // longer than the design's label: it grows up to the frame's edge.
    const QString text = WaitingText(Waiting);
    lConnectionDesc->setText(text);
    const int right = ShapeEx1->geometry().right() - 15;
    const int needed = lConnectionDesc->fontMetrics().horizontalAdvance(text) + 2;
    lConnectionDesc->resize(std::clamp(needed, 249, right - lConnectionDesc->x()), lConnectionDesc->height());
}

void TfMain::ShowNotice(TNotice Notice, const std::vector<std::string>& Args)
{
    QStringList args;
    for (const std::string& a : Args)
        args << QString::fromStdString(a);
    // A search's notice stands where the found list would; a file that
    // could not be used is a message to confirm; the others stand in the
    // bottom bar.
    TText* text = nullptr;
    bool message = false;
    switch (Notice) {
    case TNotice::None: break;
    case TNotice::NoModuleFound: text = txNoModuleFound; break;
    case TNotice::Saving: text = txSaving; break;
    case TNotice::Saved: text = txSaved; break;
    case TNotice::SaveNotTaken: text = txSaveNotTaken; break;
    case TNotice::SaveFailed: text = txSaveFailed; break;
    case TNotice::ConfigurationSaved: text = txConfigurationSaved; break;
    case TNotice::ConfigurationLoaded: text = txConfigurationLoaded; break;
    case TNotice::RecordingCannotStart: text = txRecordingCannotStart, message = true; break;
    case TNotice::RecordingEnded: text = txRecordingEnded, message = true; break;
    case TNotice::ConfigurationCannotSave: text = txConfigurationCannotSave, message = true; break;
    case TNotice::ConfigurationCannotRead: text = txConfigurationCannotRead, message = true; break;
    case TNotice::ConfigurationInvalid: text = txConfigurationInvalid, message = true; break;
    case TNotice::ConfigurationOtherModel: text = txConfigurationOtherModel, message = true; break;
    case TNotice::ConfigurationOutOfLimits: text = txConfigurationOutOfLimits, message = true; break;
    }
    if (message) {
        ShowMessage(text->Text(args).toStdString());
        return;
    }
    const bool search = Notice == TNotice::NoModuleFound;
    lSearchNotice->setText(search ? text->Text(args) : QString());
    lSearchNotice->setVisible(search);
    lNotice->setText(text && !search ? text->Text(args) : QString());
    SetText(lNotice, Notice == TNotice::SaveNotTaken || Notice == TNotice::SaveFailed ? kOverrange : kText);
}

void TfMain::ShowFoundModules(const std::vector<std::string>& Rows, int Selected, bool Visible)
{
    {
        const QSignalBlocker block(lbFoundedModules);
        lbFoundedModules->clear();
        for (const std::string& r : Rows)
            lbFoundedModules->addItem(FromModule(r));
        lbFoundedModules->setCurrentRow(Selected);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{lFoundedModules, sFoundedModules, lbFoundedModules, lFoundedType,
                                                      lFoundedInterface, lFoundedSerial, sConnect})
        w->setVisible(Visible);
}

void TfMain::ShowSearchSettings(bool Open, const std::vector<TSearchSpeedView>& Speeds)
{
    shpxMainSearch->resize(shpxMainSearch->width(), Open ? 290 : 83);
    for (const TSpeedBox& s : SearchSpeeds()) {
        for (const TSearchSpeedView& v : Speeds)
            if (v.Speed == s.Speed) {
                const QSignalBlocker block(s.Box);
                s.Box->setChecked(v.Checked);
            }
        s.Box->setVisible(Open);
        s.Label->setVisible(Open);
        MarkSpeedLabel(s.Box, s.Label);
    }
    lSearchSpeeds->setVisible(Open);
    shpxSearchDivider->setVisible(Open);
}

void TfMain::FillCommunicationPage(const TCommunicationPageView& P)
{
    ++FFilling;
    cbCommunicationSpeed->setCurrentIndex(P.SpeedIndex);
    cbADR->setCurrentIndex(P.AddressIndex);
    eNameAndVersion->setText(FromModule(P.NameAndVersion));
    ePidPis->setText(FromModule(P.SerialText));
    mUserData->setPlainText(FromModule(P.UserData));
    // Only a KelvoRS lets the user change its address and speed.
    for (QComboBox* c : {cbADR, cbCommunicationSpeed}) {
        c->setEnabled(P.Editable);
        SetBase(c, P.Editable ? kWhite : kPage);
    }
    --FFilling;
}

void TfMain::Show4to20mARow(bool Visible)
{
    if (Visible == p4_20mA->isVisibleTo(pChannel))
        return;
    const int shift = (p4_20mA->height() + 1) * (Visible ? 1 : -1);
    for (QWidget* w : std::initializer_list<QWidget*>{pUnit, pRangeMin, pRangeMax, pDecimals})
        w->move(w->x(), w->y() + shift);
    // The watching rows and their heading stand on a panel of their own:
    // the panel moves with them, so that the heading stays in view.
    pChannelWatching->move(pChannelWatching->x(), pChannelWatching->y() + shift);
    p4_20mA->setVisible(Visible);
}

void TfMain::FillChannelPage(const TChannelPageView& P)
{
    ++FFilling;
    pChannel->SetTag(P.Channel);
    // The heading names the channel as its tab does, in the language shown.
    QString heading = QString::fromStdString(P.Heading);
    for (TShapeEx* tab : {sbChannel1, sbChannel2, ShapeEx3, ShapeEx4})
        if (tab->Tag() == P.Channel)
            heading = tab->Caption();
    lChannel->setText(heading);
    if (P.Exists) {
        Label4->setText(RangeLabelText(Label4->text(), P.RangeLabel, P.RangeText));
        eChannelUnit->setText(FromModule(P.Unit));
        deMaxValue->SetValue(P.Upper);
        deMinValue->SetValue(P.Lower);
        deHystValue->SetValue(P.Hysteresis);
        CheckBox2->setChecked(P.Watching);
        deValueRangeMin->SetValue(P.RangeMin);
        deValueRangeMax->SetValue(P.RangeMax);
        ieDecimals->SetValue(P.Decimals);
        eChannelName->setText(FromModule(P.Name));
        cb4_20mA->setChecked(P.Sensor4to20mA);
        Show4to20mARow(P.Show4to20mAPanel);
        pnlChannelGain->setVisible(P.ShowGain);
        if (P.ShowGain)
            cbbChannelGain->setCurrentIndex(P.GainIndex);
    }
    --FFilling;
}

void TfMain::ShowSaveButton(bool Visible)
{
    sSaveChanges1->setVisible(Visible);
}

void TfMain::ShowMeasuredValues(const std::array<TMeasuredRowView, 4>& Rows, const std::string& ModuleName)
{
    const auto rows = MeasureRows();
    for (size_t i = 0; i < 4; ++i) {
        rows[i].Value->setText(QString::fromStdString(Rows[i].Value));
        SetText(rows[i].Value, Rows[i].ValueColor);
        rows[i].Frame->SetPenColor(ColorFromTColor(Rows[i].FrameColor));
        rows[i].Name->setText(FromModule(Rows[i].Name));
        rows[i].Unit->setText(FromModule(Rows[i].Unit));
        FitMeasuredName(rows[i].Name, rows[i].Value);
    }
    lModuleName->setText(FromModule(ModuleName));
}

void TfMain::ShowTrend(const TTrendHistory& History)
{
    TrendChart1->SetHistory(&History);
}

void TfMain::ShowRecording(bool On, const std::string& File)
{
    sTrendRecordStart->setVisible(!On);
    sTrendRecordStop->setVisible(On);
    lTrendRecordFile->setText(On ? QFileInfo(QString::fromStdString(File)).fileName() : QString());
}

void TfMain::ShowUnusableInterfaces(const std::vector<TUnusableInterface>& Interfaces)
{
    // Under "no module found", a line per interface that did not open.
    QStringList lines{lSearchNotice->text()};
    constexpr size_t kShown = 4;
    for (size_t i = 0; i < Interfaces.size() && i < kShown; ++i) {
        const QString where = FromModule(Interfaces[i].Interface);
        const TOpenTrouble& t = Interfaces[i].Trouble;
        using K = TOpenTrouble::TKind;
        switch (t.Kind) {
        case K::None: break;
        case K::NoPermission:
            lines << (t.Group.empty() ? txNoPermission->Text({where})
                                      : txNoPermissionJoin->Text({where, QString::fromStdString(t.Group)}));
            break;
        case K::InUse:
            lines << (t.Holders.empty() ? txInUse->Text({where})
                                        : txInUseBy->Text({where, QString::fromStdString(t.Holders)}));
            break;
        case K::NotSerial: lines << txNotSerial->Text({where}); break;
        case K::Other: lines << txCannotOpen->Text({where, QString::fromStdString(t.Detail)}); break;
        }
    }
    if (Interfaces.size() > kShown)
        lines << QStringLiteral("…");
    lSearchNotice->setText(lines.join(QLatin1Char('\n')));
}

bool TfMain::Ask(TQuestion Question, const std::vector<std::string>& Args)
{
    QStringList args;
    for (const std::string& a : Args)
        args << QString::fromStdString(a);
    TText* text = nullptr;
    switch (Question) {
    case TQuestion::CloseWithUnsavedChanges: text = txCloseWithUnsavedChanges; break;
    case TQuestion::TakeCommSettings:
        if (!args.isEmpty() && args[0].isEmpty())
            args[0] = QStringLiteral("?");
        text = txTakeCommSettings;
        break;
    }
    return text && AskUser && AskUser(text->Text(args));
}

void TfMain::CommitEdits()
{
    if (auto* edit = qobject_cast<TMyCustomNumEdit*>(QApplication::focusWidget()); edit && edit->window() == this)
        edit->Validate();
}

void TfMain::closeEvent(QCloseEvent* Event)
{
    CommitEdits();
    if (FLogic->CanClose())
        Event->accept();
    else
        Event->ignore();
}

void TfMain::ProcessMessages()
{
    QCoreApplication::processEvents();
    TMainThreadQueue::Drain();
}

}  // namespace kelvo
