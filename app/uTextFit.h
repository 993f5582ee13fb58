#pragma once
// Texts and the controls that show them: a language file may bring texts
// longer than the design's Czech ones, so a label grows to its text as far
// as the frame it stands in allows, and what still does not fit can be
// listed (a test looks at every page in every language).

#include <QString>
#include <QStringList>

class QLabel;
class QWidget;

namespace kelvo {

// Widens Label to its text, up to Right (in its parent's coordinates); a
// label that wraps its words, or is right-aligned, keeps its size. Never
// narrower than Designed.
void FitLabelToText(QLabel* Label, int Designed, int Right);

// Every visible label, check box and shape button below Root whose text is
// wider (or, wrapped, taller) than the control: "lMeasuring: Measuring".
QStringList ClippedTexts(QWidget* Root);

}  // namespace kelvo
