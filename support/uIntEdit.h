#pragma once
// The whole-number field: a 32-bit value within MinValue..MaxValue (0..100
// by default), stepped by Increment (PageMult times as far with Page Up and
// Page Down). An entry outside the limits is corrected (AutoCorrect) or
// reported as "<ShowName> musí být v rozmezí od <min> do <max>!".

#include "uCustomNumEdit.h"

namespace kelvo {

class TIntEdit : public TMyCustomNumEdit {
    Q_OBJECT
    Q_PROPERTY(int MinValue READ MinValue WRITE SetMinValue)
    Q_PROPERTY(int MaxValue READ MaxValue WRITE SetMaxValue)
    Q_PROPERTY(int Value READ Value WRITE SetValue)
    Q_PROPERTY(int Increment READ Increment WRITE SetIncrement)
    Q_PROPERTY(int PageMult READ PageMult WRITE SetPageMult)

public:
    explicit TIntEdit(QWidget* Parent = nullptr);

    int32_t MinValue() const { return FRules.MinValue(); }
    void SetMinValue(int32_t V);
    int32_t MaxValue() const { return FRules.MaxValue(); }
    void SetMaxValue(int32_t V);
    // The number the text holds (0 when it holds none); setting clamps it
    // and rewrites the text.
    int32_t Value() const;
    void SetValue(int32_t V);
    int32_t Increment() const { return FRules.Increment(); }
    void SetIncrement(int32_t V) { FRules.SetIncrement(V); }
    int32_t PageMult() const { return FRules.PageMult(); }
    void SetPageMult(int32_t V) { FRules.SetPageMult(V); }

    void Step(bool Down, bool Page) override;
    void UpdateText() override;
    bool Validate() override;

    const TIntEditRules& Rules() const { return FRules; }

private:
    TIntEditRules FRules;
};

}  // namespace kelvo
