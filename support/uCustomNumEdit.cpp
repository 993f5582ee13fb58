#include "uCustomNumEdit.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QToolButton>

namespace kelvo {

namespace {

TMyCustomNumEdit::TRangeMessageHandler& RangeHandler()
{
    static TMyCustomNumEdit::TRangeMessageHandler handler;
    return handler;
}

void ShowRangeBox(QWidget* Field, const QString& Text)
{
    QMessageBox box(QMessageBox::Question, QGuiApplication::applicationDisplayName(), Text, QMessageBox::Ok,
                    Field ? Field->window() : nullptr);
    box.exec();
}

}  // namespace

TMyCustomNumEdit::TRangeMessageHandler TMyCustomNumEdit::SetRangeMessageHandler(TRangeMessageHandler Handler)
{
    TRangeMessageHandler previous = std::move(RangeHandler());
    RangeHandler() = std::move(Handler);
    return previous;
}

TMyCustomNumEdit::TMyCustomNumEdit(QWidget* Parent) : QLineEdit(Parent)
{
    // The arrows are a part of the field, not a component of the form:
    // they carry no object name, so language files and exports pass them by.
    FArrows = new QWidget(this);
    FUp = new QToolButton(FArrows);
    FDown = new QToolButton(FArrows);
    for (QToolButton* b : {FUp, FDown}) {
        b->setArrowType(b == FUp ? Qt::UpArrow : Qt::DownArrow);
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setAutoRaise(false);
        b->setCursor(Qt::ArrowCursor);
    }
    connect(FUp, &QToolButton::clicked, this, [this] { UpDownClick(false); });
    connect(FDown, &QToolButton::clicked, this, [this] { UpDownClick(true); });
    connect(this, &QLineEdit::textChanged, this, [this] { emit changeText(this); });
    setAcceptDrops(false);
    PlaceArrows();
}

void TMyCustomNumEdit::SetUpDownEnable(bool V)
{
    FUpDownEnable = V;
    FUp->setEnabled(V);
    FDown->setEnabled(V);
}

void TMyCustomNumEdit::SetColored(bool V)
{
    FColored = V;
    if (!V) {
        QPalette p = palette();
        p.setColor(QPalette::Text, Qt::black);
        setPalette(p);
    }
}

void TMyCustomNumEdit::SetCtl3D(bool V)
{
    setFrame(V);
    PlaceArrows();
}

void TMyCustomNumEdit::Step(bool, bool) {}

void TMyCustomNumEdit::UpdateText()
{
    setText(QString());
}

bool TMyCustomNumEdit::Validate()
{
    return true;
}

QRect TMyCustomNumEdit::ArrowsGeometry() const
{
    return FArrows->geometry();
}

void TMyCustomNumEdit::PlaceArrows()
{
    // Inside the right edge, one pixel off the border, the full height
    // less the border.
    const int h = std::max(2, height() - 2);
    FArrows->setGeometry(width() - kArrowWidth - 1, 1, kArrowWidth, h);
    FUp->setGeometry(0, 0, kArrowWidth, h / 2);
    FDown->setGeometry(0, h / 2, kArrowWidth, h - h / 2);
    // The text stays clear of the arrows.
    setTextMargins(0, 0, kArrowWidth + 2, 0);
}

void TMyCustomNumEdit::UpDownClick(bool Down)
{
    if (!FUpDownEnable)
        return;
    Step(Down, false);
    if ((focusPolicy() & Qt::TabFocus) && isEnabled() && isVisible())
        setFocus(Qt::MouseFocusReason);
}

TNumberFormat TMyCustomNumEdit::LocaleFormat()
{
    const QLocale locale;
    TNumberFormat f;
    f.DecimalSeparator = locale.decimalPoint().toStdString();
    f.ThousandSeparator = locale.groupSeparator().toStdString();
    return f;
}

void TMyCustomNumEdit::ReportRange(const QString& Text)
{
    if (RangeHandler())
        RangeHandler()(this, Text);
    else
        ShowRangeBox(this, Text);
    // Leaving the field decides the focus itself (a text that is no number
    // keeps it); on Enter the field keeps it with the text selected.
    if (!FValidating) {
        setFocus(Qt::OtherFocusReason);
        selectAll();
    }
}

void TMyCustomNumEdit::Beep()
{
    QApplication::beep();
}

void TMyCustomNumEdit::ApplyColor(TValueSign Sign)
{
    if (!FColored)
        return;
    QPalette p = palette();
    p.setColor(QPalette::Text, Sign == TValueSign::Negative   ? QColor(128, 0, 0)
                               : Sign == TValueSign::Positive ? QColor(0, 0, 128)
                                                              : QColor(Qt::black));
    setPalette(p);
}

bool TMyCustomNumEdit::CtrlHeld() const
{
    const Qt::KeyboardModifiers m = FInKey ? FKeyModifiers : QGuiApplication::keyboardModifiers();
    return m & Qt::ControlModifier;
}

bool TMyCustomNumEdit::ConsumeChar(QChar C)
{
    return !(C == u'-' || (C >= u'0' && C <= u'9'));
}

void TMyCustomNumEdit::keyPressEvent(QKeyEvent* Event)
{
    const int key = Event->key();
    const Qt::KeyboardModifiers mods = Event->modifiers();
    FInKey = true;
    FKeyModifiers = mods;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } reset{FInKey};

    switch (key) {
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Up:
    case Qt::Key_Down:
        Step(key == Qt::Key_PageDown || key == Qt::Key_Down, key == Qt::Key_PageUp || key == Qt::Key_PageDown);
        Event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        Validate();
        Event->accept();
        return;
    default:
        break;
    }

    const bool editable = FEditorEnabled && !isReadOnly();
    if (Event->matches(QKeySequence::Paste) || Event->matches(QKeySequence::Cut)) {
        // Ctrl+X is a typed character that is not let through; the other
        // cut and paste keys work while the field may be edited.
        if (editable && !(key == Qt::Key_X && (mods & Qt::ControlModifier)))
            QLineEdit::keyPressEvent(Event);
        Event->accept();
        return;
    }
    if ((mods & Qt::ControlModifier) && !(mods & Qt::AltModifier)) {
        // Ctrl with a letter types a control character: only Ctrl+C (copy)
        // passes. Ctrl with other keys (word moves) works as usual.
        if (key >= Qt::Key_A && key <= Qt::Key_Z && key != Qt::Key_C) {
            Event->accept();
            return;
        }
        QLineEdit::keyPressEvent(Event);
        return;
    }
    const QString text = Event->text();
    if (text.isEmpty() || text.at(0) < u' ' || text.at(0) == QChar(0x7F) || key == Qt::Key_Backspace
        || key == Qt::Key_Delete) {
        // Moves, Backspace, Delete and other keys that type nothing.
        QLineEdit::keyPressEvent(Event);
        return;
    }
    if (ConsumeChar(text.at(0))) {
        Event->accept();
        return;
    }
    QLineEdit::keyPressEvent(Event);
}

void TMyCustomNumEdit::focusOutEvent(QFocusEvent* Event)
{
    QLineEdit::focusOutEvent(Event);
    // A menu or another window taking the focus is not leaving the field.
    if (FValidating || Event->reason() == Qt::PopupFocusReason || Event->reason() == Qt::ActiveWindowFocusReason)
        return;
    FValidating = true;
    const bool ok = Validate();
    FValidating = false;
    if (!ok)
        QTimer::singleShot(0, this, [this] {
            setFocus(Qt::OtherFocusReason);
            selectAll();
        });
}

void TMyCustomNumEdit::resizeEvent(QResizeEvent* Event)
{
    QLineEdit::resizeEvent(Event);
    PlaceArrows();
}

void TMyCustomNumEdit::contextMenuEvent(QContextMenuEvent* Event)
{
    QMenu* menu = createStandardContextMenu();
    if (!FEditorEnabled)
        for (QAction* a : menu->actions())
            if (a->objectName() == QLatin1String("edit-cut") || a->objectName() == QLatin1String("edit-paste")
                || a->objectName() == QLatin1String("edit-delete"))
                a->setEnabled(false);
    menu->exec(Event->globalPos());
    delete menu;
}

}  // namespace kelvo
