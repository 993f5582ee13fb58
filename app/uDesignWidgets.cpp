#include "uDesignWidgets.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStylePainter>
#include <QSvgRenderer>

#include "uDesignStyle.h"

namespace kelvo {

// --- TPanel -------------------------------------------------------------------

TPanel::TPanel(QWidget* Parent) : QFrame(Parent)
{
    setFrameShape(QFrame::NoFrame);
    setAutoFillBackground(true);
}

void TPanel::SetColor(const QColor& V)
{
    FColor = V;
    QPalette p = palette();
    p.setColor(QPalette::Window, V);
    setPalette(p);
}

void TPanel::mouseReleaseEvent(QMouseEvent* Event)
{
    if (Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint()))
        emit clicked();
    QFrame::mouseReleaseEvent(Event);
}

// --- TImage -------------------------------------------------------------------

TImage::TImage(QWidget* Parent) : QWidget(Parent) {}

TImage::~TImage() = default;

void TImage::SetPicture(const QString& ResourcePath)
{
    FPicture = ResourcePath;
    FSvg.reset();
    FPixmap = QPixmap();
    if (ResourcePath.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
        auto svg = std::make_unique<QSvgRenderer>(ResourcePath);
        if (svg->isValid())
            FSvg = std::move(svg);
    } else if (!ResourcePath.isEmpty()) {
        FPixmap.load(ResourcePath);
    }
    update();
}

void TImage::SetCaption(const QString& V)
{
    FCaption = V;
    update();
}

void TImage::SetCaptionPlace(const QPoint& Center, const QFont& Font, const QColor& Color)
{
    FCaptionCenter = Center;
    FCaptionFont = Font;
    FCaptionColor = Color;
    update();
}

void TImage::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    if (FSvg) {
        p.setRenderHint(QPainter::Antialiasing);
        FSvg->render(&p, QRectF(rect()));
    } else if (!FPixmap.isNull()) {
        p.drawPixmap(0, 0, FPixmap);
    }
    if (!FCaption.isEmpty()) {
        p.setFont(FCaptionFont);
        p.setPen(FCaptionColor);
        const int width = QFontMetrics(FCaptionFont).horizontalAdvance(FCaption);
        p.drawText(FCaptionCenter.x() - width / 2, FCaptionCenter.y(), FCaption);
    }
}

void TImage::mouseReleaseEvent(QMouseEvent* Event)
{
    if (Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint()))
        emit clicked();
    QWidget::mouseReleaseEvent(Event);
}

// --- TMemo --------------------------------------------------------------------

TMemo::TMemo(QWidget* Parent) : QPlainTextEdit(Parent)
{
    connect(this, &QPlainTextEdit::textChanged, this, &TMemo::Enforce);
}

void TMemo::SetMaxLength(int V)
{
    FMaxLength = std::max(0, V);
    Enforce();
}

void TMemo::SetSingleLine(bool V)
{
    FSingleLine = V;
    Enforce();
}

void TMemo::keyPressEvent(QKeyEvent* Event)
{
    // Enter and Tab have nothing to put into a single line: Tab moves on.
    if (FSingleLine && (Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter)) {
        Event->ignore();
        return;
    }
    if (FSingleLine && (Event->key() == Qt::Key_Tab || Event->key() == Qt::Key_Backtab)) {
        focusNextPrevChild(Event->key() == Qt::Key_Tab);
        return;
    }
    QPlainTextEdit::keyPressEvent(Event);
}

void TMemo::Enforce()
{
    const QString text = toPlainText();
    const int cursorAt = textCursor().position();
    QString kept;
    int pos = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (FSingleLine && (c.category() == QChar::Other_Control || c == QChar::ParagraphSeparator
                            || c == QChar::LineSeparator))
            continue;
        kept += c;
        if (i < cursorAt)
            ++pos;
    }
    // Typing or pasting past the limit keeps the first MaxLength characters.
    if (FMaxLength > 0 && kept.size() > FMaxLength)
        kept = kept.left(FMaxLength);
    if (kept == text)
        return;
    setPlainText(kept);
    QTextCursor cursor = textCursor();
    cursor.setPosition(std::min<int>(pos, static_cast<int>(kept.size())));
    setTextCursor(cursor);
}

// --- TText --------------------------------------------------------------------

TText::TText(QObject* Parent, const char* Name, const QString& Caption) : QObject(Parent), FCaption(Caption)
{
    setObjectName(QLatin1String(Name));
}

QString TText::Text(const QStringList& Args) const
{
    // One pass, so that a value holding "%2" stays as it is.
    QString out;
    for (qsizetype i = 0; i < FCaption.size(); ++i) {
        const QChar c = FCaption[i];
        if (c == QLatin1Char('%') && i + 1 < FCaption.size() && FCaption[i + 1].isDigit()
            && FCaption[i + 1] != QLatin1Char('0')) {
            const int n = FCaption[i + 1].digitValue();
            out += n <= Args.size() ? Args[n - 1] : QString();
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

// --- TLanguageCombo -------------------------------------------------------------

namespace {

class TLanguageItemDelegate : public QStyledItemDelegate {
public:
    explicit TLanguageItemDelegate(TLanguageCombo* Combo) : QStyledItemDelegate(Combo), FCombo(Combo) {}

    void paint(QPainter* P, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override
    {
        FCombo->DrawEntry(*P, Option.rect, Index.row(), Option.state & QStyle::State_Selected);
    }
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override
    {
        return {FCombo->width(), TLanguageCombo::kItemHeight};
    }

private:
    TLanguageCombo* FCombo;
};

}  // namespace

void TOwnerDrawCombo::paintEvent(QPaintEvent*)
{
    QStylePainter p(this);
    QStyleOptionComboBox opt;
    initStyleOption(&opt);
    opt.currentText.clear();
    opt.currentIcon = QIcon();
    p.drawComplexControl(QStyle::CC_ComboBox, opt);
    if (currentIndex() < 0 || !itemDelegate())
        return;
    QStyleOptionViewItem item;
    item.initFrom(this);
    item.rect = style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this);
    item.state &= ~QStyle::State_Selected;
    item.font = font();
    p.setClipRect(item.rect);
    itemDelegate()->paint(&p, item, model()->index(currentIndex(), modelColumn(), rootModelIndex()));
}

TLanguageCombo::TLanguageCombo(QWidget* Parent) : TOwnerDrawCombo(Parent)
{
    setItemDelegate(new TLanguageItemDelegate(this));
}

void TLanguageCombo::DrawEntry(QPainter& P, const QRect& Rect, int Index, bool Selected) const
{
    P.save();
    P.fillRect(Rect, Selected ? palette().highlight() : palette().base());
    P.setPen(Selected ? palette().highlightedText().color() : palette().text().color());
    P.setFont(CaptionFont(13));  // "Trebuchet MS", 10 points
    P.drawText(QRect(Rect.left() + 30, Rect.top(), Rect.width() - 30, Rect.height()), Qt::AlignLeft | Qt::AlignVCenter,
               itemText(Index));
    const QPixmap flag = FlagOf(Index);
    if (!flag.isNull())
        P.drawPixmap(Rect.left() + 3, Rect.top() + 3, flag);
    P.restore();
}

// --- the address combo's rows ---------------------------------------------------------

void TAddressItemDelegate::paint(QPainter* P, const QStyleOptionViewItem& Option, const QModelIndex& Index) const
{
    const QRect r = Option.rect;
    const bool selected = Option.state & QStyle::State_Selected;
    P->save();
    P->fillRect(r, selected ? Option.palette.highlight() : Option.palette.base());
    P->setPen(selected ? Option.palette.highlightedText().color() : Option.palette.text().color());
    const int address = Index.row();
    auto at = [&](int dx, int dy, const QString& text) {
        P->drawText(QRect(r.left() + dx, r.top() + dy, r.width(), r.height()), Qt::AlignLeft | Qt::AlignTop, text);
    };
    P->setFont(CaptionFont(9));  // 7 points
    at(5, 3, QStringLiteral("asci:"));
    at(50, 3, QStringLiteral("dec:"));
    at(105, 3, QStringLiteral("hex:"));
    P->setFont(CaptionFont(13));  // 10 points
    // The character of the address code; control codes have none to show.
    const bool printable = (address >= 0x20 && address < 0x7F) || address >= 0xA0;
    at(30, 0, printable ? QString(QChar(address)) : QString());
    at(70, 0, QString::number(address));
    at(130, 0, QStringLiteral("0x") + QString::number(address, 16).toUpper().rightJustified(2, QLatin1Char('0')));
    P->restore();
}

QSize TAddressItemDelegate::sizeHint(const QStyleOptionViewItem& Option, const QModelIndex&) const
{
    return {Option.rect.width(), 18};
}

// --- the found-modules list's rows ----------------------------------------------------------

void TFoundModuleDelegate::paint(QPainter* P, const QStyleOptionViewItem& Option, const QModelIndex& Index) const
{
    const QRect r = Option.rect;
    const bool selected = Option.state & QStyle::State_Selected;
    P->save();
    P->fillRect(r, selected ? Option.palette.highlight() : Option.palette.base());
    P->setPen(selected ? Option.palette.highlightedText().color() : Option.palette.text().color());
    P->setFont(Option.font);
    const QStringList fields = Index.data().toString().split(QLatin1Char('|'));
    const int xs[3] = {10, 150, 300};
    for (int i = 0; i < 3 && i < fields.size(); ++i) {
        // The third field is the rest of the row, "|" included.
        const QString text = i == 2 ? fields.mid(2).join(QLatin1Char('|')) : fields[i];
        P->drawText(QRect(r.left() + xs[i], r.top() + 2, r.width() - xs[i], r.height() - 2),
                    Qt::AlignLeft | Qt::AlignTop, text);
    }
    P->restore();
}

QSize TFoundModuleDelegate::sizeHint(const QStyleOptionViewItem& Option, const QModelIndex&) const
{
    return {Option.rect.width(), 23};
}

}  // namespace kelvo
