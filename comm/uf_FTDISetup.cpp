#include "uf_FTDISetup.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

namespace kelvo {

TfFTDIdialog::TfFTDIdialog(QWidget* Owner) : QDialog(Owner)
{
    setObjectName(QStringLiteral("fFTDIdialog"));
    setWindowTitle(QStringLiteral("fFTDIdialog"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                   | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(315, 258);

    GroupBox1 = new QGroupBox(QStringLiteral("GroupBox1"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(8, 8, 299, 201);
    Label1 = new QLabel(QStringLiteral("Baud rate:"), GroupBox1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(16, 24, 200, 16);

    // The bottom panel; its three buttons sit at its right edge.
    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 217, 315, 41);
    Button1 = new QPushButton(Panel1);
    Button2 = new QPushButton(Panel1);
    Button3 = new QPushButton(Panel1);
    int x = 315 - 3 * 83;
    for (QPushButton* b : {Button1, Button2, Button3}) {
        b->setObjectName(b == Button1 ? QStringLiteral("Button1") : b == Button2 ? QStringLiteral("Button2")
                                                                                 : QStringLiteral("Button3"));
        b->setGeometry(x, 8, 75, 25);
        b->setAutoDefault(false);
        x += 83;
    }
}

void TfFTDIdialog::ShowBaudRate(int32_t BaudRate)
{
    Label1->setText(QString::number(BaudRate));
}

bool ShowFTDISetupDialog(QWidget* Owner, int32_t BaudRate, const std::function<void()>& OnChange)
{
    TfFTDIdialog dialog(Owner);
    dialog.ShowBaudRate(BaudRate);
    if (Owner)
        dialog.move(Owner->frameGeometry().center() - dialog.rect().center());
    if (dialog.exec() != QDialog::Accepted)
        return false;
    dialog.ShowBaudRate(BaudRate);
    if (OnChange)
        OnChange();
    return true;
}

}  // namespace kelvo
