// Runs the Qt backend tests inside one QApplication on the offscreen platform unless the
// environment names another (e.g. xcb to watch them on a display).
#include <gtest/gtest.h>

#include <QApplication>

#include "ui/Texts.h"

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(quorvel::text::kAppName);
    return RUN_ALL_TESTS();
}
