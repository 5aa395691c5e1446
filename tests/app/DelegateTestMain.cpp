#include <gtest/gtest.h>

#include <cstdlib>

#include <QApplication>

// The tray program's tests need a QApplication; the offscreen platform needs no display
// (and offers no tray, so the program's no-tray path runs).
int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
