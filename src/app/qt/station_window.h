// The production station's window: the firmware at the top, one tile per slot (name, device,
// the unit's USB serial number, its state in words and colour, progress, the reason of a
// failure, the unit's elapsed time), the counters (done, failed, units per hour), a start and a
// stop button, and a banner when the firmware file changed on disk.
//
// The station runs on a thread of its own (TStationRunner); its observer calls come over to the
// GUI thread as queued calls with copies of their data, and the buttons reach it through its
// thread-safe control. Closing the window stops the station like the stop button and closes
// once the station has ended; ExitCode() is then the station's exit code.
//
// Thread safety: TStationWindow and its tiles belong to the GUI thread. TStationRunner is made
// and destroyed on the GUI thread; it runs the station on its own thread.
#pragma once

#include "station/station.h"

#include <QFrame>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class QGridLayout;
class QHBoxLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace kavo {

// The words and colours of a slot's state.
QString StationStateText(station::TSlotState state);
QColor StationStateBackground(station::TSlotState state);
QColor StationStateForeground(station::TSlotState state);
// A finished unit's exit code in words ("" for 0).
QString StationReasonText(int code, station::TSlotState state);
// "0:07", "12:05", "1:02:03".
QString ElapsedText(std::int64_t ms);
// "—" before the first unit, one decimal under 10, whole numbers above.
QString UnitsPerHourText(int units, std::int64_t elapsedMs);

class TSlotTile : public QFrame {
    Q_OBJECT
public:
    explicit TSlotTile(QWidget* parent = nullptr);
    void Show(const station::TSlotView& view);
    // Redraws the elapsed time of a running unit at `nowMs` (steady clock).
    void Tick(std::int64_t nowMs);
    const station::TSlotView& View() const { return view_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Elide();

    station::TSlotView view_;
    QString detailText_;
    QLabel* name_;
    QLabel* device_;
    QLabel* serial_;
    QLabel* state_;
    QProgressBar* progress_;
    QLabel* reason_;
    QLabel* detail_;
    QLabel* elapsed_;
};

class TStationWindow : public QWidget {
    Q_OBJECT
public:
    // `control` may be null (nothing to stop); it must outlive the window.
    TStationWindow(const station::TStationImage& image, station::TStationControl* control,
                   QWidget* parent = nullptr);

    // The observer's events, on the GUI thread.
    void ShowSlot(const station::TSlotView& view);
    void ShowCounters(const station::TStationCounters& counters);
    void ShowFirmwareChanged();
    void ShowStationEnded(int exitCode);
    void ShowStationLine(const std::string& text);

    bool StationRunning() const { return running_; }
    int ExitCode() const { return exitCode_; }
    // The station's last line of its own (the first says it is watching its slots).
    const std::string& StationLine() const { return lastLine_; }
    const std::vector<TSlotTile*>& Tiles() const { return tiles_; }

signals:
    // The window has closed for good (the station had ended).
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QFrame* MakeFirmwarePanel(const station::TStationImage& image);
    QHBoxLayout* MakeCounterRow();
    void Tick();
    void Relayout();
    void StopClicked();

    station::TStationControl* control_;
    std::vector<TSlotTile*> tiles_;
    QGridLayout* grid_;
    QLabel* banner_;
    QLabel* status_;
    QLabel* done_;
    QLabel* failed_;
    QLabel* rate_;
    QPushButton* start_;
    QPushButton* stop_;
    QTimer* ticker_;
    station::TStationCounters counters_;
    std::string lastLine_;
    bool running_ = true;
    bool closing_ = false;
    int exitCode_ = 0;
    int columns_ = 0;
};

// Runs the station on a thread of its own and hands its events to a window.
class TStationRunner {
public:
    TStationRunner();
    ~TStationRunner();  // stops the station and waits for its thread
    TStationRunner(const TStationRunner&) = delete;
    TStationRunner& operator=(const TStationRunner&) = delete;

    station::TStationControl& Control() { return control_; }
    // Starts the station; its events go to `window`, which must outlive the runner's thread.
    void Start(TStationWindow& window, const station::TStationOptions& options,
               const station::TStationImage& image, const std::string& program);

private:
    class Bridge;
    station::TStationControl control_;
    std::unique_ptr<Bridge> bridge_;
    station::TStationImage image_;
    station::TStationOptions options_;
    std::thread thread_;
};

}  // namespace kavo
