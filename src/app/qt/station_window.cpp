#include "app/qt/station_window.h"

#include "platform/steady_clock.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QResizeEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <cmath>
#include <csignal>

namespace kavo {
namespace {

using station::TSlotState;

QFont HangulFont(int pixels, bool bold = false) {
    QFont font;
    // "굴림" where the machine has it; a Hangul font of the system otherwise.
    font.setFamilies({QStringLiteral("굴림"), QStringLiteral("Gulim"), QStringLiteral("NanumGothic"),
                      QStringLiteral("NanumBarunGothic")});
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

QFont FixedFont(int pixels) {
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(pixels);
    return font;
}

void Paint(QWidget* widget, const QColor& background, const QColor& foreground) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::Window, background);
    pal.setColor(QPalette::WindowText, foreground);
    widget->setPalette(pal);
    widget->setAutoFillBackground(true);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QFont& font) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setFont(font);
    return label;
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

QString StationStateText(TSlotState state) {
    switch (state) {
    case TSlotState::waiting: return QStringLiteral("대기");
    case TSlotState::ready: return QStringLiteral("준비");
    case TSlotState::waking: return QStringLiteral("깨우는 중");
    case TSlotState::sending: return QStringLiteral("전송 중");
    case TSlotState::done: return QStringLiteral("완료");
    case TSlotState::failed: return QStringLiteral("실패");
    case TSlotState::stopped: return QStringLiteral("중지");
    }
    return QStringLiteral("?");
}

QColor StationStateBackground(TSlotState state) {
    switch (state) {
    case TSlotState::waiting: return QColor(0xD6, 0xD6, 0xD6);  // light grey
    case TSlotState::ready: return QColor(0xBB, 0xDE, 0xFB);    // pale blue
    case TSlotState::waking: return QColor(0xFF, 0xD5, 0x4F);   // amber
    case TSlotState::sending: return QColor(0x15, 0x65, 0xC0);  // blue
    case TSlotState::done: return QColor(0x2E, 0x7D, 0x32);     // green
    case TSlotState::failed: return QColor(0xC6, 0x28, 0x28);   // red
    case TSlotState::stopped: return QColor(0x4A, 0x3A, 0x78);  // dark violet
    }
    return Qt::white;
}

QColor StationStateForeground(TSlotState state) {
    switch (state) {
    case TSlotState::waiting: return QColor(0x30, 0x30, 0x30);
    case TSlotState::ready: return QColor(0x0D, 0x3C, 0x7A);
    case TSlotState::waking: return QColor(0x3E, 0x2A, 0x00);
    default: return Qt::white;
    }
}

QString StationReasonText(int code, TSlotState state) {
    if (state == TSlotState::stopped) return QStringLiteral("중지되어 취소됨");
    switch (code) {
    case 0: return {};
    case 2: return QStringLiteral("전송 실패");
    case 3: return QStringLiteral("펌웨어 파일 없음");
    case 4: return QStringLiteral("포트 없음");
    case 5: return QStringLiteral("다른 프로그램이 포트 사용 중");
    case 6: return QStringLiteral("포트 권한 없음");
    case 7: return QStringLiteral("단말기 응답 없음");
    case 8: return QStringLiteral("장치 분리됨");
    case 10: return QStringLiteral("단말기 볼륨 없음");
    default:
        if (code > 128) return QStringLiteral("중지되어 취소됨");
        return QStringLiteral("오류 (코드 %1)").arg(code);
    }
}

QString ElapsedText(std::int64_t ms) {
    const std::int64_t seconds = std::max<std::int64_t>(0, ms) / 1000;
    const std::int64_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    if (h > 0) {
        return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'));
    }
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

QString UnitsPerHourText(int units, std::int64_t elapsedMs) {
    if (units <= 0 || elapsedMs <= 0) return QStringLiteral("—");
    const double rate = station::UnitsPerHour(units, elapsedMs);
    if (rate < 10.0) return QString::number(rate, 'f', 1);
    return QString::number(static_cast<long long>(std::llround(rate)));
}

// ---------------------------------------------------------------------------------------------

TSlotTile::TSlotTile(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("slotTile"));
    setFrameShape(QFrame::Box);
    setLineWidth(1);
    setMinimumSize(280, 196);
    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(12, 8, 12, 8);
    box->setSpacing(2);
    auto* head = new QHBoxLayout;
    name_ = MakeLabel(this, "slotName", HangulFont(22, true));
    elapsed_ = MakeLabel(this, "slotElapsed", FixedFont(22));
    elapsed_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    head->addWidget(name_, 1);
    head->addWidget(elapsed_);
    box->addLayout(head);
    device_ = MakeLabel(this, "slotDevice", HangulFont(13));
    serial_ = MakeLabel(this, "slotSerial", HangulFont(14));
    box->addWidget(device_);
    box->addWidget(serial_);
    state_ = MakeLabel(this, "slotState", HangulFont(34, true));
    state_->setAlignment(Qt::AlignCenter);
    box->addWidget(state_, 1);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("slotProgress"));
    progress_->setRange(0, 100);
    progress_->setFont(HangulFont(20, true));
    progress_->setFixedHeight(32);
    progress_->setAlignment(Qt::AlignCenter);
    progress_->setFormat(QStringLiteral("%p %"));
    QSizePolicy keep = progress_->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    progress_->setSizePolicy(keep);
    box->addWidget(progress_);
    reason_ = MakeLabel(this, "slotReason", HangulFont(18, true));
    reason_->setAlignment(Qt::AlignCenter);
    detail_ = MakeLabel(this, "slotDetail", HangulFont(12));
    detail_->setAlignment(Qt::AlignCenter);
    for (QLabel* label : {reason_, detail_}) {
        QSizePolicy policy = label->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        policy.setHorizontalPolicy(QSizePolicy::Ignored);
        label->setSizePolicy(policy);
    }
    device_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    box->addWidget(reason_);
    box->addWidget(detail_);
    Show(view_);
}

void TSlotTile::Show(const station::TSlotView& view) {
    view_ = view;
    const TSlotState state = view.state;
    Paint(this, StationStateBackground(state), StationStateForeground(state));
    name_->setText(view.name.empty() ? QStringLiteral("슬롯 %1").arg(view.index + 1) : Q(view.name));
    device_->setToolTip(Q(view.device));
    serial_->setText(view.serial.empty() ? QString() : QStringLiteral("일련번호 %1").arg(Q(view.serial)));
    state_->setText(StationStateText(state));
    progress_->setVisible(state == TSlotState::sending);
    progress_->setValue(std::clamp(view.percent, 0, 100));
    const bool ended = state == TSlotState::failed || state == TSlotState::stopped;
    reason_->setText(ended ? StationReasonText(view.code, state) : QString());
    reason_->setVisible(ended);
    // The station's own words for it, for the one who looks closer.
    detailText_ = ended ? Q(view.reason) : QString();
    if (detailText_.startsWith(QLatin1String("stopped: "))) detailText_ = detailText_.mid(9);
    detail_->setToolTip(detailText_);
    detail_->setVisible(ended);
    Elide();
    Tick(SteadyNowMs());
}

void TSlotTile::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    Elide();
}

// The device path loses its start (its end tells the ports apart), the detail its end.
void TSlotTile::Elide() {
    const int width = std::max(40, contentsRect().width() - 24);
    device_->setText(QFontMetrics(device_->font()).elidedText(Q(view_.device), Qt::ElideLeft, width));
    detail_->setText(QFontMetrics(detail_->font()).elidedText(detailText_, Qt::ElideRight, width));
}

void TSlotTile::Tick(std::int64_t nowMs) {
    if (view_.startMs > 0) {
        elapsed_->setText(ElapsedText(nowMs - view_.startMs));
    } else if (view_.durationMs > 0 && (view_.state == TSlotState::done || view_.state == TSlotState::failed ||
                                        view_.state == TSlotState::stopped)) {
        elapsed_->setText(ElapsedText(view_.durationMs));
    } else {
        elapsed_->clear();
    }
}

// ---------------------------------------------------------------------------------------------

TStationWindow::TStationWindow(const station::TStationImage& image, station::TStationControl* control,
                               QWidget* parent)
    : QWidget(parent, Qt::Window), control_(control) {
    setWindowTitle(QStringLiteral("Kavo Serial Download 2.0 - 생산 스테이션"));
    setObjectName(QStringLiteral("TStationWindow"));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xC0));
    setPalette(pal);
    setFont(HangulFont(15));

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(10, 10, 10, 10);
    outer->setSpacing(8);
    outer->addWidget(MakeFirmwarePanel(image));

    banner_ = MakeLabel(this, "firmwareChangedBanner", HangulFont(18, true));
    banner_->setWordWrap(true);
    banner_->setContentsMargins(12, 6, 12, 6);
    Paint(banner_, QColor(0xFF, 0xB3, 0x00), Qt::black);
    banner_->hide();
    outer->addWidget(banner_);

    outer->addLayout(MakeCounterRow());

    grid_ = new QGridLayout;
    grid_->setSpacing(8);
    outer->addLayout(grid_, 1);

    status_ = MakeLabel(this, "stationStatus", HangulFont(15));
    status_->setWordWrap(true);
    outer->addWidget(status_);

    connect(start_, &QPushButton::clicked, this, [this] {
        if (control_) control_->StartPresent();
    });
    connect(stop_, &QPushButton::clicked, this, &TStationWindow::StopClicked);
    ticker_ = new QTimer(this);
    ticker_->setInterval(1000);
    connect(ticker_, &QTimer::timeout, this, &TStationWindow::Tick);
    ticker_->start();
    counters_.sinceMs = SteadyNowMs();
    ShowCounters(counters_);
    status_->setText(QStringLiteral("스테이션 실행 중: 장치를 꽂으면 전송이 시작됩니다"));
    resize(1000, 640);
}

// The firmware: name, size, SHA-256.
QFrame* TStationWindow::MakeFirmwarePanel(const station::TStationImage& image) {
    auto* firmware = new QFrame(this);
    firmware->setFrameShape(QFrame::StyledPanel);
    Paint(firmware, QColor(0xEE, 0xEE, 0xEE), Qt::black);
    auto* firmwareBox = new QGridLayout(firmware);
    firmwareBox->setContentsMargins(12, 6, 12, 6);
    firmwareBox->setHorizontalSpacing(14);
    const QString fileName = Q(image.path).section(QLatin1Char('/'), -1);
    auto* name = MakeLabel(firmware, "firmwareName", HangulFont(22, true));
    name->setText(QStringLiteral("펌웨어  %1").arg(fileName));
    name->setToolTip(Q(image.path));
    auto* size = MakeLabel(firmware, "firmwareSize", HangulFont(18));
    size->setText(QStringLiteral("크기  %1 바이트").arg(QLocale(QLocale::English).toString(
        static_cast<qlonglong>(image.bytes.size()))));
    auto* sha = MakeLabel(firmware, "firmwareSha256", FixedFont(15));
    sha->setText(QStringLiteral("SHA-256  %1").arg(Q(image.sha256)));
    sha->setTextInteractionFlags(Qt::TextSelectableByMouse);
    firmwareBox->addWidget(name, 0, 0);
    firmwareBox->addWidget(size, 0, 1, Qt::AlignRight);
    firmwareBox->addWidget(sha, 1, 0, 1, 2);
    return firmware;
}

// The counters (done, failed, units per hour) and the start and stop buttons.
QHBoxLayout* TStationWindow::MakeCounterRow() {
    auto* row = new QHBoxLayout;
    row->setSpacing(18);
    auto counter = [this, row](const char* objectName, const QString& caption, const QColor& colour) {
        auto* captionLabel = new QLabel(caption, this);
        captionLabel->setFont(HangulFont(20, true));
        auto* value = MakeLabel(this, objectName, HangulFont(30, true));
        QPalette p = value->palette();
        p.setColor(QPalette::WindowText, colour);
        value->setPalette(p);
        value->setMinimumWidth(70);
        row->addWidget(captionLabel);
        row->addWidget(value);
        return value;
    };
    done_ = counter("doneCount", QStringLiteral("완료"), QColor(0x1B, 0x5E, 0x20));
    failed_ = counter("failedCount", QStringLiteral("실패"), QColor(0xB7, 0x1C, 0x1C));
    rate_ = counter("unitsPerHour", QStringLiteral("시간당 대수"), QColor(0x0D, 0x3C, 0x7A));
    row->addStretch(1);
    start_ = new QPushButton(QStringLiteral("시  작"), this);
    start_->setObjectName(QStringLiteral("startButton"));
    start_->setToolTip(QStringLiteral("시작할 때 꽂혀 있던 장치에 전송을 시작합니다"));
    stop_ = new QPushButton(QStringLiteral("중  지"), this);
    stop_->setObjectName(QStringLiteral("stopButton"));
    stop_->setToolTip(QStringLiteral("전송 중인 장치를 모두 취소하고 스테이션을 멈춥니다"));
    for (QPushButton* button : {start_, stop_}) {
        button->setFont(HangulFont(20, true));
        button->setMinimumSize(130, 46);
        row->addWidget(button);
    }
    return row;
}

void TStationWindow::ShowSlot(const station::TSlotView& view) {
    bool added = false;
    while (tiles_.size() <= view.index) {
        tiles_.push_back(new TSlotTile(this));
        added = true;
    }
    tiles_[view.index]->Show(view);
    if (added) Relayout();
}

void TStationWindow::Relayout() {
    const int count = static_cast<int>(tiles_.size());
    const int columns = count <= 2 ? std::max(count, 1) : count <= 4 ? 2 : count <= 9 ? 3 : 4;
    for (TSlotTile* tile : tiles_) grid_->removeWidget(tile);
    columns_ = columns;
    for (int i = 0; i < count; ++i) grid_->addWidget(tiles_[static_cast<std::size_t>(i)], i / columns, i % columns);
}

void TStationWindow::ShowCounters(const station::TStationCounters& counters) {
    counters_ = counters;
    done_->setText(QString::number(counters.done));
    failed_->setText(QString::number(counters.failed));
    Tick();
}

void TStationWindow::ShowFirmwareChanged() {
    banner_->setText(QStringLiteral("펌웨어 파일이 디스크에서 변경되었습니다. 모든 장치는 시작할 때 읽은 "
                                    "이미지(위의 SHA-256)를 받습니다. 새 파일을 쓰려면 스테이션을 다시 "
                                    "시작하십시오."));
    banner_->show();
}

void TStationWindow::ShowStationLine(const std::string& text) { lastLine_ = text; }

void TStationWindow::ShowStationEnded(int exitCode) {
    running_ = false;
    exitCode_ = exitCode;
    start_->setEnabled(false);
    stop_->setEnabled(false);
    if (exitCode == 9) {
        status_->setText(QStringLiteral("스테이션을 시작하지 못했습니다: %1").arg(Q(lastLine_)));
        QPalette p = status_->palette();
        p.setColor(QPalette::WindowText, Qt::red);
        status_->setPalette(p);
    } else {
        status_->setText(QStringLiteral("스테이션이 멈췄습니다"));
    }
    Tick();
    if (closing_) {
        close();
    }
}

void TStationWindow::StopClicked() {
    if (!running_) return;
    stop_->setEnabled(false);
    start_->setEnabled(false);
    status_->setText(QStringLiteral("멈추는 중: 전송 중인 장치를 취소합니다"));
    if (control_) control_->Stop(0);
}

void TStationWindow::closeEvent(QCloseEvent* event) {
    if (running_ && control_) {
        // Like the stop button; the window closes when the station has ended.
        closing_ = true;
        StopClicked();
        event->ignore();
        return;
    }
    event->accept();
    emit closed();
}

void TStationWindow::Tick() {
    const std::int64_t now = SteadyNowMs();
    for (TSlotTile* tile : tiles_) tile->Tick(now);
    rate_->setText(UnitsPerHourText(counters_.done + counters_.failed, now - counters_.sinceMs));
}

// ---------------------------------------------------------------------------------------------

// Moves each observer call to the GUI thread, with a copy of its data.
class TStationRunner::Bridge : public station::TStationObserver {
public:
    explicit Bridge(TStationWindow& window) : window_(&window) {}
    void SlotChanged(const station::TSlotView& slot) override {
        Post([slot](TStationWindow* w) { w->ShowSlot(slot); });
    }
    void CountersChanged(const station::TStationCounters& counters) override {
        Post([counters](TStationWindow* w) { w->ShowCounters(counters); });
    }
    void FirmwareChanged() override {
        Post([](TStationWindow* w) { w->ShowFirmwareChanged(); });
    }
    void StationEnded(int exitCode) override {
        Post([exitCode](TStationWindow* w) { w->ShowStationEnded(exitCode); });
    }
    void StationSaid(const std::string& text) override {
        Post([text](TStationWindow* w) { w->ShowStationLine(text); });
    }

private:
    template <typename F>
    void Post(F f) {
        TStationWindow* window = window_;
        // The window is the context: a call queued for a window that is gone is dropped.
        QMetaObject::invokeMethod(window, [window, f] { f(window); }, Qt::QueuedConnection);
    }
    TStationWindow* window_;
};

TStationRunner::TStationRunner() = default;

TStationRunner::~TStationRunner() {
    if (thread_.joinable()) {
        control_.Stop(0);
        thread_.join();
    }
}

void TStationRunner::Start(TStationWindow& window, const station::TStationOptions& options,
                           const station::TStationImage& image, const std::string& program) {
    bridge_ = std::make_unique<Bridge>(window);
    options_ = options;
    image_ = image;
    thread_ = std::thread([this, program] {
        station::TStationHooks hooks;
        hooks.observer = bridge_.get();
        hooks.control = &control_;
        hooks.takeSignals = false;  // the program's signal handler forwards them to the control
        station::RunStation(options_, image_, program, hooks);
    });
}

}  // namespace kavo
