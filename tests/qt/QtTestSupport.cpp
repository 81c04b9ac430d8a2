#include "tests/qt/QtTestSupport.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QDialogButtonBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "ui/resource.h"

namespace quorvel::test {

bool RecordingHandler::OnInitDialog() {
    if (onInit) onInit();
    return true;
}

void RecordingHandler::OnCancel() {
    ++cancels;
    if (!deferCancel) m_port.EndDialog(IDCANCEL);
}

void RunSoon(std::function<void()> action) { QTimer::singleShot(0, std::move(action)); }

void WhenReady(std::function<bool()> ready, std::function<void()> action) {
    auto* timer = new QTimer;
    auto polls = std::make_shared<int>(0);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, polls, ready, action] {
        if (!ready()) {
            if (++*polls < 3000) return;
            ADD_FAILURE() << "the awaited window never showed";
        } else {
            action();
        }
        timer->stop();
        timer->deleteLater();
    });
    timer->start();
}

void ChooseFolder(QFileDialog& picker, const QString& path) {
    auto* name = picker.findChild<QLineEdit*>("fileNameEdit");
    auto* buttons = picker.findChild<QDialogButtonBox*>("buttonBox");
    ASSERT_TRUE(name && buttons);
    // Set rather than typed key by key: typing opens the completer popup, which takes Return.
    name->setText(path);
    ASSERT_NE(buttons->button(QDialogButtonBox::Open), nullptr);
    buttons->button(QDialogButtonBox::Open)->click();
}

std::string SaveScreenshot(QWidget& window, const std::string& name) {
    const QString dir = QStringLiteral(QUORVEL_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    const QString path = dir + QLatin1Char('/') + QString::fromStdString(name) + ".png";
    EXPECT_TRUE(window.grab().save(path, "PNG")) << path.toStdString();
    return path.toStdString();
}

namespace {
bool FindText(QAccessibleInterface* iface, const QString& name, int depth) {
    if (!iface || depth > 12) return false;
    if (iface->text(QAccessible::Name) == name || iface->text(QAccessible::Value) == name)
        return true;
    for (int i = 0; i < iface->childCount(); ++i)
        if (FindText(iface->child(i), name, depth + 1)) return true;
    return false;
}
}  // namespace

bool HasAccessibleText(QWidget& root, const QString& name) {
    return FindText(QAccessible::queryAccessibleInterface(&root), name, 0);
}

}  // namespace quorvel::test
