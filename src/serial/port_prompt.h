// The "Select Port" dialog: asks the operator for a serial port when the port component is told to
// open without a port number.
//
// The dialog lists the ports COM1..COM50 that exist on this machine (PortAvailable), selects the
// first (PortAvailable decides which exist), and ends with the modal result mrOk (the default button) or mrAbort (Cancel); closing it
// from its title bar or with Escape gives mrCancel. The serial layer itself knows nothing of Qt:
// InstallPortPrompt hands it a prompt that shows this dialog.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QDialog>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

namespace kavo {

// Modal results, numbered as the toolkit of the original tool numbers them.
constexpr int mrNone = 0;
constexpr int mrOk = 1;
constexpr int mrCancel = 2;
constexpr int mrAbort = 3;

// Highest port number the dialog offers.
constexpr int kPromptMaxPort = 50;

class TComSelectForm : public QDialog {
    Q_OBJECT
public:
    explicit TComSelectForm(QWidget* owner = nullptr);

    // The number of the selected entry ("COM12" gives 12). Raises EConvertError when nothing is
    // selected or the entry is not a number.
    int SelectedComNumber() const;

    QFrame* Bevel1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* PortsComboBox = nullptr;
    QPushButton* OkBtn = nullptr;
    QPushButton* AbortBtn = nullptr;

public slots:
    void reject() override;

private:
    void FormCreate();
};

// Lets the serial port component show the dialog when it opens with port number 0.
void InstallPortPrompt();

}  // namespace kavo
