// The "Select Port" dialog in Qt: asks the operator for a serial port when the port component is
// told to open without a port number. What it lists and what its buttons give is in
// serial/port_prompt.h; the serial layer itself knows nothing of Qt: InstallPortPrompt hands it a
// prompt that shows this dialog.
//
// Thread safety: user-interface thread only.
#pragma once

#include "serial/port_prompt.h"

#include <QDialog>

#include <string>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

namespace kavo {

class TComSelectForm : public QDialog {
    Q_OBJECT
public:
    explicit TComSelectForm(QWidget* owner = nullptr);

    // The number of the selected entry ("COM12" gives 12). Raises EConvertError when nothing is
    // selected or the entry is not a number.
    int SelectedComNumber() const;
    // The text of the selected entry; empty when nothing is selected.
    std::string SelectedEntry() const;

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
