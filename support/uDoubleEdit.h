#pragma once
// The floating-point field: a double within MinValue..MaxValue (both 0 by
// default), stepped by Increment, shown in the locale's number form:
// dbAuto the shortest form, dbManual with Decimals places, dbRemember with
// as many places as the user last typed. "," and "." typed become the
// locale's decimal separator; the keypad "+" makes the value positive.

#include "uCustomNumEdit.h"

namespace kelvo {

class TDoubleEdit : public TMyCustomNumEdit {
    Q_OBJECT
    Q_PROPERTY(double MinValue READ MinValue WRITE SetMinValue)
    Q_PROPERTY(double MaxValue READ MaxValue WRITE SetMaxValue)
    Q_PROPERTY(double Value READ Value WRITE SetValue)
    Q_PROPERTY(double Increment READ Increment WRITE SetIncrement)
    Q_PROPERTY(int PageMult READ PageMult WRITE SetPageMult)
    Q_PROPERTY(int Decimals READ Decimals WRITE SetDecimals)
    Q_PROPERTY(TDecimalBehaviourProp DecimalBenhaviour READ DecimalBenhaviour WRITE SetDecimalBenhaviour)

public:
    // The behaviours as the meta-object knows them (names as in the rules).
    enum TDecimalBehaviourProp { dbManual, dbAuto, dbRemember };
    Q_ENUM(TDecimalBehaviourProp)

    explicit TDoubleEdit(QWidget* Parent = nullptr);

    double MinValue() const { return FRules.MinValue(); }
    void SetMinValue(double V);
    double MaxValue() const { return FRules.MaxValue(); }
    void SetMaxValue(double V);
    // The number the text holds (0 when it holds none); setting clamps it
    // and rewrites the text.
    double Value() const;
    void SetValue(double V);
    double Increment() const { return FRules.Increment(); }
    void SetIncrement(double V) { FRules.SetIncrement(V); }
    int PageMult() const { return FRules.PageMult(); }
    void SetPageMult(int V) { FRules.SetPageMult(static_cast<uint16_t>(V)); }
    int Decimals() const { return FRules.Decimals(); }
    void SetDecimals(int V);
    TDecimalBehaviourProp DecimalBenhaviour() const { return static_cast<TDecimalBehaviourProp>(FRules.Behaviour()); }
    void SetDecimalBenhaviour(TDecimalBehaviourProp V);

    void Step(bool Down, bool Page) override;
    void UpdateText() override;
    bool Validate() override;

    const TDoubleEditRules& Rules() const { return FRules; }

protected:
    bool ConsumeChar(QChar C) override;
    void keyPressEvent(QKeyEvent* Event) override;

private:
    TDoubleEditRules FRules;
};

}  // namespace kelvo
