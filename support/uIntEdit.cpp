#include "uIntEdit.h"

namespace kelvo {

TIntEdit::TIntEdit(QWidget* Parent) : TMyCustomNumEdit(Parent)
{
    UpdateText();
}

void TIntEdit::SetMinValue(int32_t V)
{
    FRules.SetMinValue(V);
    UpdateText();
}

void TIntEdit::SetMaxValue(int32_t V)
{
    FRules.SetMaxValue(V);
    UpdateText();
}

int32_t TIntEdit::Value() const
{
    return TIntEditRules::ValueFromText(text().toStdString());
}

void TIntEdit::SetValue(int32_t V)
{
    FRules.SetValue(V);
    UpdateText();
}

void TIntEdit::Step(bool Down, bool Page)
{
    FRules.Step(text().toStdString(), Down, Page, CtrlHeld());
    UpdateText();
}

void TIntEdit::UpdateText()
{
    ApplyColor(FRules.Sign());
    setText(QString::fromStdString(FRules.Format()));
}

bool TIntEdit::Validate()
{
    const TNumValidation v = FRules.Validate(text().toStdString(), AutoCorrect(), FailureBeep());
    if (v.Beep)
        Beep();
    if (v.Stored)
        UpdateText();
    if (v.ShowRangeMessage)
        ReportRange(QString::fromStdString(FRules.RangeMessage(ShowName().toStdString())));
    return v.Result;
}

}  // namespace kelvo
