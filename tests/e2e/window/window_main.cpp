#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>

#include "card/WinSCard.h"

int main(int argc, char* argv[]) {
    // Test discovery starts the program without the test environment; the window always runs
    // off screen here.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Without the real library every card call reports a missing resource manager, which is
    // just what the test of a machine without pcscd expects: it must not pass that way.
    if (!qel::card::LoadWinSCard()) {
        std::fprintf(stderr, "cannot load the PC/SC library libpcsclite.so.1\n");
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    qel::card::UnloadWinSCard();
    return result;
}
