#pragma once
// The base of the numeric edit fields: a one-line edit with a small pair of
// arrows inside its right edge. Keys and arrows step the value; leaving the
// field or pressing Enter validates the entry. What a step, a validation or
// the text of a value is comes from the rules of uNumEditRules; the classes
// TIntEdit and TDoubleEdit connect them to this widget.
//
// Keys: Page Up/Down step by a page, Up/Down by one increment (both ten
// times as far with Ctrl); Enter validates. Of the characters only Ctrl+C,
// Backspace, Ctrl+V, "-" and the digits reach the text (the decimal field
// adds its separator); everything else typed is dropped. Cut and paste work
// only while EditorEnabled and not read-only.

#include <QLineEdit>
#include <functional>

#include "uNumEditRules.h"

class QToolButton;

namespace kelvo {

class TMyCustomNumEdit : public QLineEdit {
    Q_OBJECT
    Q_PROPERTY(bool UpDownEnable READ UpDownEnable WRITE SetUpDownEnable)
    Q_PROPERTY(QString ShowName READ ShowName WRITE SetShowName)
    Q_PROPERTY(bool AutoCorrect READ AutoCorrect WRITE SetAutoCorrect)
    Q_PROPERTY(bool FailureBeep READ FailureBeep WRITE SetFailureBeep)
    Q_PROPERTY(bool EditorEnabled READ EditorEnabled WRITE SetEditorEnabled)
    Q_PROPERTY(bool Colored READ Colored WRITE SetColored)
    Q_PROPERTY(bool Ctl3D READ Ctl3D WRITE SetCtl3D)

public:
    explicit TMyCustomNumEdit(QWidget* Parent = nullptr);

    bool UpDownEnable() const { return FUpDownEnable; }
    void SetUpDownEnable(bool V);
    QString ShowName() const { return FShowName; }
    void SetShowName(const QString& V) { FShowName = V; }
    bool AutoCorrect() const { return FAutoCorrect; }
    void SetAutoCorrect(bool V) { FAutoCorrect = V; }
    bool FailureBeep() const { return FFailureBeep; }
    void SetFailureBeep(bool V) { FFailureBeep = V; }
    bool EditorEnabled() const { return FEditorEnabled; }
    void SetEditorEnabled(bool V) { FEditorEnabled = V; }
    bool Colored() const { return FColored; }
    void SetColored(bool V);
    // The sunken 3-D frame; without it the field is flat.
    bool Ctl3D() const { return hasFrame(); }
    void SetCtl3D(bool V);

    // Moves the value one step (Down: the lower arrow or key; Page: by
    // PageMult); the base does nothing.
    virtual void Step(bool Down, bool Page);
    // Writes the value as text; the base empties the text.
    virtual void UpdateText();
    // Checks the text against the limits: corrects it, or reports the range
    // and returns whether the text was a number at all. The base accepts.
    virtual bool Validate();

    // The arrows' area inside the field (for tests and for layout).
    QRect ArrowsGeometry() const;

    // Where range messages go; the default shows a message box with one OK
    // button. Tests record them instead. Returns the previous handler.
    using TRangeMessageHandler = std::function<void(QWidget* Field, const QString& Text)>;
    static TRangeMessageHandler SetRangeMessageHandler(TRangeMessageHandler Handler);

    // Width of the arrow pair in pixels.
    static constexpr int kArrowWidth = 15;

signals:
    // Every change of the text.
    void changeText(QObject* Sender);

protected:
    // A typed character: false lets it reach the text, true consumes it
    // (dropped, or inserted otherwise). The base lets "-" and the digits
    // through; the decimal field adds its separator.
    virtual bool ConsumeChar(QChar C);

    // The separators of the user's locale.
    static TNumberFormat LocaleFormat();

    // Shows the range message, puts the focus back and selects the text.
    void ReportRange(const QString& Text);
    // Beeps when the field asks for it.
    void Beep();
    // Colours the text by the sign of the value (Colored).
    void ApplyColor(TValueSign Sign);
    // Whether Ctrl is held for the step running now.
    bool CtrlHeld() const;

    void keyPressEvent(QKeyEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void contextMenuEvent(QContextMenuEvent* Event) override;

private:
    void PlaceArrows();
    void UpDownClick(bool Down);

    QWidget* FArrows;
    QToolButton* FUp;
    QToolButton* FDown;
    bool FUpDownEnable = true;
    QString FShowName = QStringLiteral("Hodnota");
    bool FAutoCorrect = true;
    bool FFailureBeep = false;
    bool FEditorEnabled = true;
    bool FColored = false;
    bool FValidating = false;
    Qt::KeyboardModifiers FKeyModifiers;
    bool FInKey = false;
};

}  // namespace kelvo
