// Entry point of the Linux desktop program: the application object runs the main dialog
// modally for the whole session; there is no application event loop besides that run.
#include <QApplication>

#include <csignal>

#include "app/QuorvelApp.h"
#include "platform/qt/QtBackend.h"
#include "ui/res/Texts.h"

int main(int argc, char* argv[]) {
    // Past a file-size limit a save's write fails and is reported instead of killing the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(quorvel::text::kAppName);
    QApplication::setApplicationVersion(QStringLiteral("1.0"));

    quorvel::qt::QtBackend backend;
    quorvel::theApp.SetPlatform(&backend);
    quorvel::theApp.InitInstance();
    return 0;
}
