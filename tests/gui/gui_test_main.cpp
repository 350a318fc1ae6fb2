// Entry point of the GUI test executables: GoogleTest inside a QApplication, offscreen unless the
// caller chose a platform.
#include "support/volumes_apart.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>


int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // A main window in USB mode ends the process when any volume is unmounted. Volumes that other
    // tests mount and unmount meanwhile must not reach it.
    kavo::test::KeepVolumesApart();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
