// Entry point of the Linux desktop program: the application object runs the main dialog
// modally for the whole session; there is no application event loop besides that run.
// `quorvel FOLDER` starts with a Browse of FOLDER; --help and --version answer without a window.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QApplication>

#include <csignal>

#include "app/QuorvelApp.h"
#include "app/StartOptions.h"
#include "platform/qt/QtBackend.h"
#include "ui/res/Texts.h"

namespace {

QtMessageHandler g_qtMessages = nullptr;

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

int NeedsDesktop() {
    std::fprintf(stderr, "%s\n", quorvel::text::kNeedsDesktop);
    return 1;
}

// While Qt loads its platform plugin: a display that cannot be reached is fatal to Qt, which
// would abort with a text about plugins. Say what is missing instead and exit with 1.
void StartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) std::_Exit(NeedsDesktop());
    g_qtMessages(type, context, message);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Past a file-size limit a save's write fails and is reported instead of killing the program.
    std::signal(SIGXFSZ, SIG_IGN);

    std::string cwd;
    if (char* here = ::getcwd(nullptr, 0)) {
        cwd = here;
        std::free(here);
    }
    const quorvel::StartOptions options =
        quorvel::ParseStartOptions(std::vector<std::string>(argv + 1, argv + argc), cwd);
    switch (options.action) {
    case quorvel::StartOptions::Action::Help:
        std::fputs(quorvel::StartHelp().c_str(), stdout);
        return 0;
    case quorvel::StartOptions::Action::Version:
        std::printf("quorvel %s\n", QUORVEL_VERSION);
        return 0;
    case quorvel::StartOptions::Action::Error:
        std::fprintf(stderr, "quorvel: %s\nTry 'quorvel --help' for more information.\n", options.error.c_str());
        return 2;
    case quorvel::StartOptions::Action::Run:
        break;
    }

    // QT_QPA_PLATFORM names the platform outright (offscreen for tests, xcb, wayland, ...).
    if (!IsSet("QT_QPA_PLATFORM")) {
        if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY")) return NeedsDesktop();
        // A Wayland session without X11 support: Qt would try X11 first and fail.
        if (!IsSet("DISPLAY")) ::setenv("QT_QPA_PLATFORM", "wayland", 1);
    }
    g_qtMessages = qInstallMessageHandler(StartupMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(g_qtMessages);
    QApplication::setApplicationName(quorvel::text::kAppName);
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    // Wayland compositors find the window's desktop entry (and so its icon) by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral(QUORVEL_APP_ID));

    quorvel::qt::QtBackend backend;
    quorvel::theApp.SetPlatform(&backend);
    quorvel::theApp.SetStartFolder(options.folder);
    quorvel::theApp.InitInstance();
    return 0;
}
