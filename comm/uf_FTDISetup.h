#pragma once
// The setup dialog of an FTDI device, fFTDIdialog: a fixed dialog of
// 315 × 258 pixels with a group box showing the device's baud rate and a
// bottom panel of three buttons. It edits nothing yet and its buttons end
// it with no result, so it can only be dismissed. It knows nothing of the
// device classes: the device hands it the values it shows and is told
// through OnChange when the dialog was confirmed.
//
// Built into the window's library (Qt); comm/'s own library has no Qt.

#include <QDialog>

#include <cstdint>
#include <functional>

class QGroupBox;
class QLabel;
class QPushButton;

namespace kelvo {

class TfFTDIdialog : public QDialog {
    Q_OBJECT

public:
    explicit TfFTDIdialog(QWidget* Owner = nullptr);

    // Shows the baud rate in the group box's label.
    void ShowBaudRate(int32_t BaudRate);

    QWidget* Panel1;
    QPushButton *Button1, *Button2, *Button3;
    QGroupBox* GroupBox1;
    QLabel* Label1;
};

// Creates the dialog centred on Owner, fills it from BaudRate and shows it
// modally. True only when the dialog ended confirmed: then the label is
// filled again and OnChange runs.
bool ShowFTDISetupDialog(QWidget* Owner, int32_t BaudRate, const std::function<void()>& OnChange);

}  // namespace kelvo
