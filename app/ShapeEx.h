#pragma once
// The window's rounded buttons, tabs and frames: TShapeEx, a light widget
// that paints one of six shapes with a caption centred in it, and
// TShapeExColorSchema, the colours a button takes by state.
//
// A shape with a schema takes the schema's colours by state: pressed
// (Down, when it may be pressed at all) before hovered before default, and
// the disabled colours whenever it is disabled. A shape without a schema
// keeps its own brush, pen and font colour. Shapes of one Group under one
// parent are mutually exclusive when pressed; a left-button release
// presses (AllowDown) or releases (AllowUp) the shape, then clicked runs.

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QWidget>

namespace kelvo {

// The colour triples of one state.
struct TShapeExColors {
    QColor Brush;
    QColor Font;
    QColor Border;
};

enum class TShapeExLook { Default, OnMouse, Down, Disabled };

// Which triple a shape with a schema paints with.
TShapeExLook PickShapeExLook(bool AllowDown, bool Down, bool Hover, bool Enabled);
// Down after a left-button release on the shape.
bool DownAfterRelease(bool Down, bool AllowDown, bool AllowUp);

class TShapeExColorSchema : public QObject {
    Q_OBJECT
    Q_PROPERTY(QColor DefaultBrushColor MEMBER DefaultBrushColor)
    Q_PROPERTY(QColor DefaultFontColor MEMBER DefaultFontColor)
    Q_PROPERTY(QColor DefaultBorderColor MEMBER DefaultBorderColor)
    Q_PROPERTY(QColor OnMouseBrushColor MEMBER OnMouseBrushColor)
    Q_PROPERTY(QColor OnMouseFontColor MEMBER OnMouseFontColor)
    Q_PROPERTY(QColor OnMouseBorderColor MEMBER OnMouseBorderColor)
    Q_PROPERTY(QColor DownBrushColor MEMBER DownBrushColor)
    Q_PROPERTY(QColor DownFontColor MEMBER DownFontColor)
    Q_PROPERTY(QColor DownBorderColor MEMBER DownBorderColor)
    Q_PROPERTY(QColor DisabledBrushColor MEMBER DisabledBrushColor)
    Q_PROPERTY(QColor DisabledFontColor MEMBER DisabledFontColor)
    Q_PROPERTY(QColor DisabledBorderColor MEMBER DisabledBorderColor)

public:
    explicit TShapeExColorSchema(QObject* Parent = nullptr) : QObject(Parent) {}

    TShapeExColors Colors(TShapeExLook Look) const;

    QColor DefaultBrushColor, DefaultFontColor, DefaultBorderColor;
    QColor OnMouseBrushColor, OnMouseFontColor, OnMouseBorderColor;
    QColor DownBrushColor, DownFontColor, DownBorderColor;
    QColor DisabledBrushColor, DisabledFontColor, DisabledBorderColor;
};

class TShapeEx : public QWidget {
    Q_OBJECT
    Q_PROPERTY(TShapeType Shape READ Shape WRITE SetShape)
    Q_PROPERTY(int RoundCorner READ RoundCorner WRITE SetRoundCorner)
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(bool Down READ Down WRITE SetDown)
    Q_PROPERTY(int Group READ Group WRITE SetGroup)
    Q_PROPERTY(bool AllowDown READ AllowDown WRITE SetAllowDown)
    Q_PROPERTY(bool AllowUp READ AllowUp WRITE SetAllowUp)
    Q_PROPERTY(QColor BrushColor READ BrushColor WRITE SetBrushColor)
    Q_PROPERTY(QColor PenColor READ PenColor WRITE SetPenColor)
    Q_PROPERTY(int PenWidth READ PenWidth WRITE SetPenWidth)
    Q_PROPERTY(QColor FontColor READ FontColor WRITE SetFontColor)
    Q_PROPERTY(int Tag READ Tag WRITE SetTag)

public:
    enum TShapeType { stRectangle, stSquare, stRoundRect, stRoundSquare, stEllipse, stCircle };
    Q_ENUM(TShapeType)

    explicit TShapeEx(QWidget* Parent = nullptr);

    TShapeType Shape() const { return FShape; }
    void SetShape(TShapeType V);
    int RoundCorner() const { return FRoundCorner; }
    void SetRoundCorner(int V);
    QString Caption() const { return FCaption; }
    void SetCaption(const QString& V);
    TShapeExColorSchema* ColorSchema() const { return FSchema; }
    void SetColorSchema(TShapeExColorSchema* V);
    bool Down() const { return FDown; }
    // Pressing a shape of a group releases the others of its group under
    // the same parent first.
    void SetDown(bool V);
    int Group() const { return FGroup; }
    void SetGroup(int V) { FGroup = V; }
    bool AllowDown() const { return FAllowDown; }
    void SetAllowDown(bool V) { FAllowDown = V; }
    bool AllowUp() const { return FAllowUp; }
    void SetAllowUp(bool V) { FAllowUp = V; }
    QColor BrushColor() const { return FBrushColor; }
    void SetBrushColor(const QColor& V);
    QColor PenColor() const { return FPenColor; }
    void SetPenColor(const QColor& V);
    int PenWidth() const { return FPenWidth; }
    void SetPenWidth(int V);
    QColor FontColor() const { return FFontColor; }
    void SetFontColor(const QColor& V);
    int Tag() const { return FTag; }
    void SetTag(int V) { FTag = V; }

    bool Hover() const { return FHover; }
    // The colours the next paint uses.
    TShapeExColors CurrentColors() const;

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* Event) override;
    void enterEvent(QEnterEvent* Event) override;
    void leaveEvent(QEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void changeEvent(QEvent* Event) override;

private:
    TShapeType FShape = stRectangle;
    int FRoundCorner = 8;
    QString FCaption;
    QPointer<TShapeExColorSchema> FSchema;
    bool FDown = false;
    int FGroup = 0;
    bool FAllowDown = false;
    bool FAllowUp = false;
    bool FHover = false;
    QColor FBrushColor = Qt::white;
    QColor FPenColor = Qt::black;
    int FPenWidth = 1;
    QColor FFontColor = Qt::black;
    int FTag = 0;
};

}  // namespace kelvo
