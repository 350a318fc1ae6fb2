// The "Select Port" dialog offscreen: its list, its buttons and its use by the port component.
#include "serial/qt/com_select_form.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serial/com_port.h"
#include "serial/port_map.h"
#include "pty_pair.h"

namespace kavo {
namespace {

// Maps the given numbers to fresh ptys (and any extra "n=path" pairs) for one test.
class PortMapScope {
public:
    PortMapScope(const std::vector<int>& numbers, const std::string& extra = "") {
        // The machine's own serial ports are moved above the prompt's range, so that the dialog
        // lists only the ports of the test.
        unsetenv("KAVODOWN_PORTS");
        std::string value = extra;
        int hidden = 200;
        for (const PortEntry& real : ListComPorts())
            value += (value.empty() ? "" : ",") + std::to_string(hidden++) + "=" + real.path;
        for (int n : numbers) {
            lines_.push_back(std::make_unique<sim::PtyPair>());
            value += (value.empty() ? "" : ",") + std::to_string(n) + "=" + lines_.back()->DevicePath();
        }
        setenv("KAVODOWN_PORTS", value.c_str(), 1);
    }
    ~PortMapScope() { unsetenv("KAVODOWN_PORTS"); }

private:
    std::vector<std::unique_ptr<sim::PtyPair>> lines_;
};

// Runs `act` on the dialog that is shown modally next.
void WhenDialogShows(std::function<void(TComSelectForm*)> act) {
    QTimer::singleShot(0, [act] {
        auto* form = qobject_cast<TComSelectForm*>(QApplication::activeModalWidget());
        if (!form) {
            // The dialog may not be active yet; try again shortly.
            WhenDialogShows(act);
            return;
        }
        act(form);
    });
}

QStringList Entries(const TComSelectForm& form) {
    QStringList list;
    for (int i = 0; i < form.PortsComboBox->count(); ++i) list << form.PortsComboBox->itemText(i);
    return list;
}

TEST(PortPrompt, ListsExistingPortsUpTo50AndSelectsTheFirst) {
    PortMapScope ports({1, 3, 7, 51}, "2=/nonexistent/kavodown-tty");
    TComSelectForm form;
    EXPECT_EQ(form.windowTitle(), "Select Port");
    EXPECT_EQ(form.Label1->text(), "The configured serial port is not valid.");
    EXPECT_EQ(form.Label2->text(), "Please choose another port.");
    EXPECT_EQ(form.OkBtn->text(), "OK");
    EXPECT_EQ(form.AbortBtn->text(), "Cancel");
    EXPECT_TRUE(form.OkBtn->isDefault());
    EXPECT_FALSE(form.PortsComboBox->isEditable());
    EXPECT_GE(form.width(), 220);
    EXPECT_EQ(form.height(), 131);
    for (QLabel* label : {form.Label1, form.Label2})
        EXPECT_GE(label->width(), QFontMetrics(label->font()).horizontalAdvance(label->text()))
            << "text cut: " << label->text().toStdString();
    EXPECT_LE(form.AbortBtn->geometry().right(), form.width() - 1);
    EXPECT_EQ(Entries(form), (QStringList{"COM1", "COM3", "COM7"}));
    EXPECT_EQ(form.PortsComboBox->currentIndex(), 0);
    EXPECT_EQ(form.SelectedComNumber(), 1);
    form.PortsComboBox->setCurrentIndex(2);
    EXPECT_EQ(form.SelectedComNumber(), 7);

    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QString shot = QString(KAVO_BIN_DIR) + "/../select_port.png";
    EXPECT_TRUE(form.grab().save(shot)) << shot.toStdString();
}

TEST(PortPrompt, AllDigitsAfterTheFirstThreeCharactersCount) {
    PortMapScope ports({12});
    TComSelectForm form;
    ASSERT_EQ(Entries(form), QStringList{"COM12"});
    EXPECT_EQ(form.SelectedComNumber(), 12);
}

TEST(PortPrompt, EmptyListHasNoSelectionAndConversionFails) {
    PortMapScope ports({});
    TComSelectForm form;
    EXPECT_EQ(form.PortsComboBox->count(), 0);
    EXPECT_EQ(form.PortsComboBox->currentIndex(), -1);
    EXPECT_THROW(form.SelectedComNumber(), EConvertError);
}

TEST(PortPrompt, ButtonsAndClosingGiveTheirModalResults) {
    PortMapScope ports({4});
    {
        TComSelectForm form;
        WhenDialogShows([](TComSelectForm* f) { QTest::mouseClick(f->OkBtn, Qt::LeftButton); });
        EXPECT_EQ(form.exec(), mrOk);
    }
    {
        TComSelectForm form;
        WhenDialogShows([](TComSelectForm* f) { QTest::keyClick(f, Qt::Key_Return); });
        EXPECT_EQ(form.exec(), mrOk) << "OK is the default button";
    }
    {
        TComSelectForm form;
        WhenDialogShows([](TComSelectForm* f) { QTest::mouseClick(f->AbortBtn, Qt::LeftButton); });
        EXPECT_EQ(form.exec(), mrAbort);
    }
    {
        TComSelectForm form;
        WhenDialogShows([](TComSelectForm* f) { f->close(); });
        EXPECT_EQ(form.exec(), mrCancel);
    }
}

TEST(PortPrompt, PortComponentOpensTheChosenPortOrFailsOnCancel) {
    PortMapScope ports({3, 8});
    InstallPortPrompt();
    struct Uninstall {
        ~Uninstall() { SetPortPromptHook(nullptr); }
    } uninstall;

    TApdComPort port;
    port.SetAutoOpen(false);
    WhenDialogShows([](TComSelectForm* f) { QTest::mouseClick(f->AbortBtn, Qt::LeftButton); });
    try {
        port.SetOpen(true);
        ADD_FAILURE() << "a cancelled prompt opened the port";
    } catch (const ENoPortSelected& e) {
        EXPECT_STREQ(e.what(), "The ComNumber property of the TApdComPort has not been set");
    }
    EXPECT_EQ(port.Dispatcher(), nullptr);
    EXPECT_EQ(port.ComNumber(), 0);

    WhenDialogShows([](TComSelectForm* f) {
        f->PortsComboBox->setCurrentIndex(1);
        QTest::mouseClick(f->OkBtn, Qt::LeftButton);
    });
    port.SetOpen(true);
    EXPECT_EQ(port.ComNumber(), 8);
    EXPECT_EQ(port.LinkState(), lsOpen);
    port.SetOpen(false);
}

TEST(PortPrompt, APortHeldElsewhereIsListedAndFailsAtTheOpen) {
    PortMapScope ports({4});
    TApdComPort holder;
    holder.SetComNumber(4);
    holder.SetAutoOpen(false);
    holder.SetOpen(true);

    InstallPortPrompt();
    struct Uninstall {
        ~Uninstall() { SetPortPromptHook(nullptr); }
    } uninstall;
    TApdComPort port;
    port.SetAutoOpen(false);
    QStringList listed;
    WhenDialogShows([&listed](TComSelectForm* f) {
        listed = Entries(*f);
        QTest::mouseClick(f->OkBtn, Qt::LeftButton);
    });
    EXPECT_THROW(port.SetOpen(true), EAlreadyOpen);
    EXPECT_EQ(listed, QStringList{"COM4"});
    EXPECT_EQ(port.LinkState(), lsClosed);
    holder.SetOpen(false);
}

}  // namespace
}  // namespace kavo
