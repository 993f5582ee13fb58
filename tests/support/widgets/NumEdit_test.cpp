// The edit fields as a user drives them: keys, arrows, leaving the field.
// The rules behind them are tested in uNumEditRules_test.cpp; these check
// that the widgets route keys and focus to them.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QLineEdit>
#include <QTest>

#include "QtTestApp.h"
#include "uDoubleEdit.h"
#include "uIntEdit.h"

using namespace kelvo;
using kelvo::testing::TScopedLocale;

class NumEdit : public ::testing::Test, kelvo::testing::TWithQtApp {
protected:
    void SetUp() override
    {
        FPrevious = TMyCustomNumEdit::SetRangeMessageHandler(
            [this](QWidget*, const QString& Text) { Messages.append(Text); });
        Form.resize(300, 100);
        Int = new TIntEdit(&Form);
        Int->setGeometry(10, 10, 120, 21);
        Int->SetMaxValue(2);
        Dbl = new TDoubleEdit(&Form);
        Dbl->setGeometry(10, 40, 120, 21);
        Dbl->SetMaxValue(10000);
        Dbl->SetMinValue(-10000);
        Other = new QLineEdit(&Form);
        Other->setGeometry(150, 10, 100, 21);
        Form.show();
        Form.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&Form));
    }
    void TearDown() override { TMyCustomNumEdit::SetRangeMessageHandler(std::move(FPrevious)); }

    // Gives the field the focus with an empty text.
    void Enter(TMyCustomNumEdit* Field)
    {
        Field->setFocus(Qt::TabFocusReason);
        Field->clear();
    }

    QWidget Form;
    TIntEdit* Int;
    TDoubleEdit* Dbl;
    QLineEdit* Other;
    QStringList Messages;

private:
    TMyCustomNumEdit::TRangeMessageHandler FPrevious;
};

TEST_F(NumEdit, LeavingTheFieldCorrectsTheEntry)
{
    Enter(Int);
    QTest::keyClicks(Int, "5");
    Other->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(Int->text(), "2");
    Enter(Int);
    QTest::keyClicks(Int, "-");
    Other->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(Int->text(), "0");
    EXPECT_TRUE(Messages.isEmpty());
}

TEST_F(NumEdit, EnterReportsTheRangeWithoutAutoCorrect)
{
    Int->SetAutoCorrect(false);
    Enter(Int);
    QTest::keyClicks(Int, "1");
    QTest::keyClick(Int, Qt::Key_Return);
    EXPECT_EQ(Int->Value(), 1);
    EXPECT_TRUE(Messages.isEmpty());
    Int->clear();
    QTest::keyClicks(Int, "7");
    QTest::keyClick(Int, Qt::Key_Return);
    EXPECT_EQ(Messages, QStringList{"Hodnota musí být v rozmezí od 0 do 2!"});
    EXPECT_TRUE(Int->hasFocus());
    EXPECT_EQ(Int->selectedText(), "7");
}

TEST_F(NumEdit, OnlyDigitsAndMinusAreTyped)
{
    Int->SetMaxValue(100000);
    Enter(Int);
    QTest::keyClicks(Int, "1a b-2.");
    EXPECT_EQ(Int->text(), "1-2");
    QGuiApplication::clipboard()->setText("42");
    Int->clear();
    QTest::keyClick(Int, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Int->text(), "42");
    Int->SetEditorEnabled(false);
    QTest::keyClick(Int, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Int->text(), "42");
}

TEST_F(NumEdit, DecimalKeysTypeTheLocaleSeparator)
{
    const TScopedLocale czech(QLocale(QLocale::Czech, QLocale::Czechia));
    Dbl->SetDecimalBenhaviour(TDoubleEdit::dbRemember);
    Enter(Dbl);
    QTest::keyClicks(Dbl, "1.250");
    EXPECT_EQ(Dbl->text(), "1,250");
    QTest::keyClick(Dbl, Qt::Key_Return);
    EXPECT_EQ(Dbl->Decimals(), 3);
    EXPECT_EQ(Dbl->text(), "1,250");
}

TEST_F(NumEdit, KeysStepAndKeypadPlusMakesPositive)
{
    Dbl->SetValue(-3.5);
    Dbl->setFocus();
    QTest::keyClick(Dbl, Qt::Key_Plus, Qt::KeypadModifier);
    EXPECT_EQ(Dbl->text(), "3.5");
    Dbl->SetValue(9995);
    QTest::keyClick(Dbl, Qt::Key_PageUp);
    EXPECT_EQ(Dbl->Value(), 10000);
    Dbl->SetValue(0);
    QTest::keyClick(Dbl, Qt::Key_Up, Qt::ControlModifier);
    EXPECT_EQ(Dbl->Value(), 10);
    QTest::keyClick(Dbl, Qt::Key_PageDown, Qt::ControlModifier);
    EXPECT_EQ(Dbl->Value(), -90);
}

TEST_F(NumEdit, ArrowsSitInsideTheRightEdgeAndStep)
{
    const QRect arrows = Int->ArrowsGeometry();
    EXPECT_EQ(arrows.right(), Int->width() - 2);
    EXPECT_EQ(arrows.height(), Int->height() - 2);
    QTest::mouseClick(Int->childAt(arrows.center().x(), arrows.top() + 2), Qt::LeftButton);
    EXPECT_EQ(Int->Value(), 1);
    EXPECT_TRUE(Int->hasFocus());
    Int->SetUpDownEnable(false);
    QTest::mouseClick(Int->childAt(arrows.center().x(), arrows.top() + 2), Qt::LeftButton);
    EXPECT_EQ(Int->Value(), 1);
}
