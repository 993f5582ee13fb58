#include "uDoubleEdit.h"

#include <QKeyEvent>

#include <cmath>

namespace kelvo {

static_assert(int(TDoubleEdit::dbManual) == int(TDecimalBehaviour::dbManual)
              && int(TDoubleEdit::dbAuto) == int(TDecimalBehaviour::dbAuto)
              && int(TDoubleEdit::dbRemember) == int(TDecimalBehaviour::dbRemember));

TDoubleEdit::TDoubleEdit(QWidget* Parent) : TMyCustomNumEdit(Parent)
{
    UpdateText();
}

void TDoubleEdit::SetMinValue(double V)
{
    FRules.SetMinValue(V);
    UpdateText();
}

void TDoubleEdit::SetMaxValue(double V)
{
    FRules.SetMaxValue(V);
    UpdateText();
}

double TDoubleEdit::Value() const
{
    return TDoubleEditRules::ValueFromText(text().toStdString(), LocaleFormat());
}

void TDoubleEdit::SetValue(double V)
{
    FRules.SetValue(V);
    UpdateText();
}

void TDoubleEdit::SetDecimals(int V)
{
    FRules.SetDecimals(static_cast<int16_t>(V));
    UpdateText();
}

void TDoubleEdit::SetDecimalBenhaviour(TDecimalBehaviourProp V)
{
    FRules.SetBehaviour(static_cast<TDecimalBehaviour>(V));
    UpdateText();
}

void TDoubleEdit::Step(bool Down, bool Page)
{
    FRules.Step(text().toStdString(), LocaleFormat(), Down, Page, CtrlHeld());
    UpdateText();
}

void TDoubleEdit::UpdateText()
{
    ApplyColor(FRules.Sign());
    setText(QString::fromStdString(FRules.Format(LocaleFormat())));
}

bool TDoubleEdit::Validate()
{
    const TNumberFormat fmt = LocaleFormat();
    const TNumValidation v = FRules.Validate(text().toStdString(), fmt, AutoCorrect(), FailureBeep());
    if (v.Beep)
        Beep();
    if (v.Stored)
        UpdateText();
    if (v.ShowRangeMessage)
        ReportRange(QString::fromStdString(FRules.RangeMessage(ShowName().toStdString(), fmt)));
    return v.Result;
}

bool TDoubleEdit::ConsumeChar(QChar C)
{
    const QString separator = QString::fromStdString(LocaleFormat().DecimalSeparator);
    if (C == u',' || C == u'.') {
        // Either key types the locale's separator.
        insert(separator);
        return true;
    }
    if (separator.size() == 1 && C == separator.at(0))
        return false;
    return TMyCustomNumEdit::ConsumeChar(C);
}

void TDoubleEdit::keyPressEvent(QKeyEvent* Event)
{
    if (Event->key() == Qt::Key_Plus && (Event->modifiers() & Qt::KeypadModifier))
        SetValue(std::fabs(Value()));
    TMyCustomNumEdit::keyPressEvent(Event);
}

}  // namespace kelvo
