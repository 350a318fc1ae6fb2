// The main window TFMain of KavoDown in Qt: a view over the download sequence.
//
// The window builds its controls (names, places and texts as in the layout), shows what the
// sequence tells it and forwards the operator's actions to the sequence's handlers; the sequence
// (app/download_sequence.h) decides everything else. Start-up runs in the constructor.
//
// Thread safety: the window and its sequence belong to the user-interface thread.
#pragma once

#include "app/download_sequence.h"
#include "app/main_view.h"

#include <QStringList>
#include <QWidget>

#include <memory>

class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace kavo {

class TApdProtocolStatus;

class TFMain : public QWidget, public TMainView {
    Q_OBJECT

public:
    // `arguments` are the positional command-line arguments (port, file, mode word), without the
    // program name and without options that begin with "--".
    explicit TFMain(const QStringList& arguments, QWidget* parent = nullptr);
    ~TFMain() override;

    TDownloadSequence& Sequence() { return *sequence_; }
    // The status component, with the window it shows.
    TApdProtocolStatus* ApdProtocolStatus1 = nullptr;

    // Controls (names as in the layout).
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* CB_PORT = nullptr;
    QLabel* Lab_Msg = nullptr;
    QPushButton* BT_EXIT = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLineEdit* EDT_FName = nullptr;
    QPushButton* BT_FILE = nullptr;
    QProgressBar* Pbar = nullptr;
    QPushButton* BT_SEND = nullptr;
    QCheckBox* CB_USB = nullptr;
    QCheckBox* CB_DDD = nullptr;
    QFileDialog* OpenDialog1 = nullptr;

    // TMainView.
    void SetPortItems(const std::vector<TPortItem>& items) override;
    std::string PortText() const override;
    void SetPortText(const std::string& text) override;
    void SelectPortItem(int index) override;
    std::string FileName() const override;
    void SetFileName(const std::string& path) override;
    bool UsbChecked() const override;
    void SetUsbChecked(bool on) override;
    bool DddChecked() const override;
    void SetDddChecked(bool on) override;
    void SetMessage(const std::string& text) override;
    void SetProgressMax(int maximum) override;
    void SetProgressPosition(int position) override;
    void SetSendEnabled(bool on) override;
    void SetDialogFolder(const std::string& folder) override;
    std::optional<std::string> ChooseFile() override;
    void ShowErrorBox(const std::string& text) override;
    void CloseWindow() override;
    bool Attended() const override;

signals:
    // The window has closed; the program ends.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();
    void BuildConnectionGroup();
    void BuildFileGroup();
    void Forward(void (TDownloadSequence::*handler)());

    std::unique_ptr<TDownloadSequence> sequence_;
    bool centred_ = false;
};

}  // namespace kavo
