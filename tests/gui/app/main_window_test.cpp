#include "app/qt/main_window.h"
#include "platform/profile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace kavo {
namespace {

namespace fs = std::filesystem;

QString Q(const std::string& s) { return QString::fromStdString(s); }

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kavo_gui_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::setenv("KAVODOWN_CONFIG_DIR", dir_.c_str(), 1);
        // COM10 and COM2 on purpose: the list is sorted as text.
        ::setenv("KAVODOWN_PORTS", "1=/dev/null,2=/dev/null,10=/dev/null", 1);
        ini_ = dir_ + "/Option.ini";
        firmware_ = dir_ + "/fw.bin";
        std::ofstream(firmware_) << std::string(2500, 'x');
    }
    void TearDown() override {
        ::unsetenv("KAVODOWN_CONFIG_DIR");
        ::unsetenv("KAVODOWN_PORTS");
        fs::remove_all(dir_);
    }
    std::string ReadOption(const std::string& key) {
        return ReadProfileString("OPTION", key, ini_).value_or("<missing>");
    }

    std::string dir_, ini_, firmware_;
};

TEST_F(MainWindowTest, ControlsHaveTheirNamesPlacesAndTexts) {
    TFMain w({});
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Kavo Serial Download 2.0"));
    EXPECT_EQ(w.size(), QSize(511, 215));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());  // the border cannot be resized
    EXPECT_FALSE(w.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMinMaxButtonsHint);
    EXPECT_EQ(w.palette().color(QPalette::Window), QColor(192, 192, 192));
    EXPECT_EQ(w.font().family(), QStringLiteral("굴림"));
    EXPECT_EQ(w.font().pixelSize(), 13);

    struct Expect {
        QWidget* widget;
        const char* name;
        QWidget* parent;
        QRect place;
    };
    const Expect controls[] = {
        {w.GroupBox1, "GroupBox1", &w, QRect(8, 8, 489, 65)},
        {w.CB_PORT, "CB_PORT", w.GroupBox1, QRect(71, 20, 41, 21)},
        {w.BT_EXIT, "BT_EXIT", w.GroupBox1, QRect(384, 17, 85, 34)},
        {w.GroupBox2, "GroupBox2", &w, QRect(8, 80, 489, 73)},
        {w.EDT_FName, "EDT_FName", w.GroupBox2, QRect(15, 23, 426, 18)},
        {w.BT_FILE, "BT_FILE", w.GroupBox2, QRect(448, 24, 33, 33)},
        {w.Pbar, "Pbar", w.GroupBox2, QRect(16, 53, 425, 12)},
        {w.BT_SEND, "BT_SEND", &w, QRect(244, 161, 129, 41)},
        {w.CB_USB, "CB_USB", &w, QRect(16, 176, 97, 17)},
        {w.CB_DDD, "CB_DDD", &w, QRect(120, 176, 97, 17)},
    };
    for (const Expect& c : controls) {
        ASSERT_NE(c.widget, nullptr) << c.name;
        EXPECT_EQ(c.widget->objectName(), QLatin1String(c.name));
        EXPECT_EQ(c.widget->parentWidget(), c.parent) << c.name;
        EXPECT_EQ(c.widget->geometry(), c.place) << c.name;
    }
    EXPECT_EQ(w.Label1->parentWidget(), w.GroupBox1);
    EXPECT_EQ(w.Label1->pos(), QPoint(24, 24));
    EXPECT_EQ(w.Lab_Msg->pos(), QPoint(144, 25));
    EXPECT_EQ(w.Lab_Msg->parentWidget(), w.GroupBox1);

    EXPECT_EQ(w.GroupBox1->title(), QStringLiteral(" 연결 "));
    EXPECT_EQ(w.GroupBox2->title(), QStringLiteral(" 파일선택 "));
    EXPECT_EQ(w.Label1->text(), QStringLiteral("포트"));
    EXPECT_EQ(w.BT_EXIT->text(), QStringLiteral("종료"));
    EXPECT_EQ(w.BT_SEND->text(), QStringLiteral("  전     송"));
    EXPECT_TRUE(w.BT_FILE->text().isEmpty());
    EXPECT_FALSE(w.BT_FILE->icon().isNull());
    EXPECT_FALSE(w.BT_SEND->icon().isNull());
    EXPECT_FALSE(w.BT_EXIT->icon().isNull());
    EXPECT_EQ(w.CB_USB->text(), QStringLiteral("USB Mode"));
    EXPECT_EQ(w.CB_DDD->text(), QStringLiteral("DDD Start"));
    EXPECT_TRUE(w.CB_PORT->isEditable());
    EXPECT_TRUE(w.Lab_Msg->text().isEmpty());
    EXPECT_TRUE(w.Lab_Msg->font().bold());
    EXPECT_EQ(w.Lab_Msg->palette().color(QPalette::WindowText), QColor(Qt::red));
    EXPECT_EQ(w.EDT_FName->font().pixelSize(), 12);
    EXPECT_EQ(w.Pbar->minimum(), 0);
    EXPECT_EQ(w.Pbar->maximum(), 100);
    EXPECT_TRUE(w.Pbar->isHidden());
    EXPECT_FALSE(w.CB_USB->isChecked());
    EXPECT_FALSE(w.CB_USB->isEnabled());
    EXPECT_FALSE(w.CB_DDD->isChecked());
    EXPECT_TRUE(w.CB_DDD->isEnabled());
    EXPECT_EQ(w.Sequence().TM.Interval(), 500u);
    EXPECT_EQ(w.Sequence().TmMsg.Interval(), 5000u);
    EXPECT_FALSE(w.Sequence().TmMsg.Enabled());
}

TEST_F(MainWindowTest, ScreenshotForReview) {
    TFMain w({});
    w.EDT_FName->setText(Q(firmware_));
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.Sequence().ShowMsg("파일이 존재 하지 않습니다!");
    QImage image = w.grab().toImage();
    EXPECT_EQ(image.size(), QSize(511, 215));
    const QString path = QStringLiteral(KAVO_BIN_DIR "/../main_window.png");
    EXPECT_TRUE(image.save(path)) << path.toStdString();
}

TEST_F(MainWindowTest, OperatorTypingAPortThatIsNotANumberShowsTheConversionError) {
    TFMain w({});
    std::vector<std::string> errors;
    w.Sequence().SetErrorDisplay([&](const std::string& text) { errors.push_back(text); });
    w.CB_PORT->lineEdit()->clear();
    QTest::keyClicks(w.CB_PORT->lineEdit(), QStringLiteral("1x"));
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), "'1x' is not a valid integer value");
    EXPECT_EQ(w.Sequence().TevoComNumber(), 1);  // kept from the last good text
    QTest::keyClick(w.CB_PORT->lineEdit(), Qt::Key_Backspace);
    EXPECT_EQ(w.Sequence().TevoComNumber(), 1);
    QTest::keyClicks(w.CB_PORT->lineEdit(), QStringLiteral("2"));
    EXPECT_EQ(w.Sequence().TevoComNumber(), 12);
    w.CB_PORT->setCurrentIndex(1);
    emit w.CB_PORT->textActivated(w.CB_PORT->currentText());
    EXPECT_EQ(w.Sequence().TevoComNumber(), 10);
}

TEST_F(MainWindowTest, MissingFileShowsTheMessageAndOpensNothing) {
    TFMain w({});
    for (const std::string& path : {std::string(), dir_, dir_ + "/none.bin"}) {
        w.EDT_FName->setText(Q(path));
        QTest::mouseClick(w.BT_SEND, Qt::LeftButton);
        EXPECT_EQ(w.Lab_Msg->text(), QStringLiteral("파일이 존재 하지 않습니다!")) << path;
        EXPECT_TRUE(w.Sequence().TmMsg.Enabled());
    }
}

TEST_F(MainWindowTest, SettingsAreWrittenWhenTheWindowGoes) {
    {
        TFMain w({});
        w.CB_PORT->setCurrentIndex(2);
        w.EDT_FName->setText(Q(firmware_));
        w.show();
        QSignalSpy closed(&w, &TFMain::closed);
        QTest::mouseClick(w.BT_EXIT, Qt::LeftButton);
        EXPECT_EQ(closed.count(), 1);
        EXPECT_FALSE(w.isVisible());
        EXPECT_EQ(w.Sequence().ExitCode(), 0);
    }
    EXPECT_EQ(ReadOption("PORT"), "2");
    EXPECT_EQ(ReadOption("FNAME"), firmware_);
    TFMain again({});
    EXPECT_EQ(again.CB_PORT->currentText(), QStringLiteral("2"));
}

TEST_F(MainWindowTest, PortsWithLongDevicePathsStayInTheListAndShowTheirDevice) {
    const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4E5-if00-port0";
    const std::string longer = "/dev/serial/by-path/" + std::string(80, 'p');
    ::setenv("KAVODOWN_PORTS", ("1=/dev/null,5=" + byId + ",7=" + longer + ",9=/dev/null").c_str(), 1);
    // The saved position names the port that was chosen, also behind a long path.
    std::ofstream(ini_) << "[OPTION]\nPORT=3\n";
    TFMain w({});
    ASSERT_EQ(w.CB_PORT->count(), 4);
    const char* numbers[] = {"1", "5", "7", "9"};
    const std::string paths[] = {"/dev/null", byId, longer, "/dev/null"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(w.CB_PORT->itemText(i), QLatin1String(numbers[i]));
        EXPECT_EQ(w.CB_PORT->itemData(i, Qt::ToolTipRole).toString(), Q(paths[i]));
    }
    EXPECT_EQ(w.CB_PORT->currentText(), QStringLiteral("9"));
}

}  // namespace
}  // namespace kavo
