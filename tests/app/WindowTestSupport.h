#pragma once

#include <QApplication>
#include <QByteArray>

namespace korvalot::app::testing {

// Window tests run on the desktop they are given; without one, on Qt's offscreen platform.
inline void ChooseWindowPlatform() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

}  // namespace korvalot::app::testing

#define KORVALOT_WINDOW_TEST_MAIN(TestClass)            \
    int main(int argc, char** argv) {                   \
        korvalot::app::testing::ChooseWindowPlatform(); \
        QApplication application(argc, argv);           \
        TestClass test;                                 \
        return QTest::qExec(&test, argc, argv);         \
    }
