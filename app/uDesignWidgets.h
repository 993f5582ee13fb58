#pragma once
// The plain controls of the window that Qt has no exact match for: the
// coloured panel with a tag, the picture with its caption, the memo with a
// length limit, the texts the window puts together at run time, and the
// owner-drawn rows of the language combo, the address combo and the
// found-modules list.

#include <QComboBox>
#include <QFrame>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QStyledItemDelegate>
#include <QWidget>

#include <functional>
#include <memory>

class QSvgRenderer;

namespace kelvo {

// A panel: a plain area of one colour holding other controls; clicks on
// its background are signalled.
class TPanel : public QFrame {
    Q_OBJECT
    Q_PROPERTY(QColor Color READ Color WRITE SetColor)
    Q_PROPERTY(int Tag READ Tag WRITE SetTag)

public:
    explicit TPanel(QWidget* Parent = nullptr);

    QColor Color() const { return FColor; }
    void SetColor(const QColor& V);
    int Tag() const { return FTag; }
    void SetTag(int V) { FTag = V; }

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* Event) override;

private:
    QColor FColor;
    int FTag = 0;
};

// A picture from the program's resources (SVG, drawn at the control's
// size, or any image Qt reads), with an optional caption drawn over it: the
// words of a picture belong to the language shown, so they are a caption a
// language file sets, not part of the picture.
class TImage : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Picture READ Picture WRITE SetPicture)
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)

public:
    explicit TImage(QWidget* Parent = nullptr);
    ~TImage() override;

    QString Picture() const { return FPicture; }
    void SetPicture(const QString& ResourcePath);
    QString Caption() const { return FCaption; }
    void SetCaption(const QString& V);
    // Where the caption is drawn, centred on its base line, in what.
    void SetCaptionPlace(const QPoint& Center, const QFont& Font, const QColor& Color);

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;

private:
    QString FPicture;
    std::unique_ptr<QSvgRenderer> FSvg;
    QPixmap FPixmap;
    QString FCaption;
    QPoint FCaptionCenter;
    QFont FCaptionFont;
    QColor FCaptionColor;
};

// A memo that takes at most MaxLength characters; a single-line one takes
// no line breaks, tabs or other control characters either (typed or
// pasted), as a module's text cannot hold them.
class TMemo : public QPlainTextEdit {
    Q_OBJECT
    Q_PROPERTY(int MaxLength READ MaxLength WRITE SetMaxLength)

public:
    explicit TMemo(QWidget* Parent = nullptr);
    int MaxLength() const { return FMaxLength; }
    void SetMaxLength(int V);
    bool SingleLine() const { return FSingleLine; }
    void SetSingleLine(bool V);

protected:
    void keyPressEvent(QKeyEvent* Event) override;

private:
    void Enforce();
    int FMaxLength = 0;  // 0: no limit
    bool FSingleLine = false;
};

// A text the window puts together at run time (a message, a label that
// shows values): a component of its own, so that language files translate
// it as they translate a caption. "%1", "%2", ... mark where values go.
class TText : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)

public:
    TText(QObject* Parent, const char* Name, const QString& Caption);
    QString Caption() const { return FCaption; }
    void SetCaption(const QString& V) { FCaption = V; }
    // The caption with its places filled in order.
    QString Text(const QStringList& Args = {}) const;

private:
    QString FCaption;
};

// An owner-drawn combo: the closed combo draws the selected entry with the
// item delegate that draws the list's rows.
class TOwnerDrawCombo : public QComboBox {
    Q_OBJECT

public:
    using QComboBox::QComboBox;

protected:
    void paintEvent(QPaintEvent* Event) override;
};

// The language combo: an entry is its text at 30 pixels from the left and,
// when the entry has one, its flag at (3, 3). Entries are 18 pixels high.
class TLanguageCombo : public TOwnerDrawCombo {
    Q_OBJECT

public:
    // The flag of an entry (empty: none).
    using TFlagOf = std::function<QPixmap(int Index)>;

    explicit TLanguageCombo(QWidget* Parent = nullptr);
    void SetFlagOf(TFlagOf F) { FFlagOf = std::move(F); }
    QPixmap FlagOf(int Index) const { return FFlagOf ? FFlagOf(Index) : QPixmap(); }

    static constexpr int kItemHeight = 18;
    // Draws one entry into Rect (the popup rows and the closed combo).
    void DrawEntry(QPainter& P, const QRect& Rect, int Index, bool Selected) const;

private:
    TFlagOf FFlagOf;
};

// Rows of the address combo: "asci:", "dec:", "hex:" in small print, then
// the character of the address, its decimal and its hexadecimal value.
class TAddressItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* P, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;
    QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;
};

// Rows of the found-modules list: "model|interface|serial number" drawn
// as three columns at 10, 150 and 300 pixels, 23 pixels high.
class TFoundModuleDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* P, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;
    QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;
};

}  // namespace kelvo
