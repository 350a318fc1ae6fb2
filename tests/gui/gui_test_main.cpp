// Entry point of the GUI test executables: GoogleTest inside a QApplication, offscreen unless the
// caller chose a platform.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

#include <sched.h>
#include <sys/mount.h>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // A main window in USB mode ends the process when any volume is unmounted. Volumes that other
    // tests mount and unmount meanwhile must not reach it: where the system allows, the windows
    // get a mount namespace of their own.
    if (unshare(CLONE_NEWNS) == 0) mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
