// Helpers for driving the Qt backend's real widgets from tests: a handler that records the
// events routed to it, and timers that act inside the modal loops the code under test runs.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <QApplication>
#include <QFileDialog>
#include <QWidget>

#include "platform/Port.h"

namespace quorvel::test {

// Records every handler call; "Close" and Escape end the run unless told to defer.
class RecordingHandler : public IDialogHandler {
public:
    explicit RecordingHandler(IDialogPort& port) : m_port(port) {}

    bool OnInitDialog() override;
    void OnBnClickedBrowse() override { ++browses; }
    void OnBnClickedFixFiles() override { ++fixes; }
    void OnCancel() override;
    void OnSysCommand(unsigned nId, std::intptr_t lParam) override {
        sysCommands.emplace_back(nId, lParam);
    }
    void OnPaint() override { ++paints; }
    IconHandle OnQueryDragIcon() override { return 0; }

    bool deferCancel = false;   // like a fix pass in progress: the run does not end
    std::function<void()> onInit;
    int browses = 0, fixes = 0, cancels = 0, paints = 0;
    std::vector<std::pair<unsigned, std::intptr_t>> sysCommands;

private:
    IDialogPort& m_port;
};

// Runs `action` once the event loop turns (inside whatever modal loop is running then).
void RunSoon(std::function<void()> action);

// Waits in the event loop until the active modal or popup widget is a T, then runs `action`
// on it. Gives up (and fails the test) after a generous number of polls.
template <typename T>
void WhenShown(std::function<void(T*)> action);

// The active modal widget, or else the active popup, as a T, or null.
template <typename T>
T* ActiveAs() {
    if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget())) return w;
    return qobject_cast<T*>(QApplication::activePopupWidget());
}

// Polls every 10 ms (up to about 30 s) for `ready`, then runs `action`.
void WhenReady(std::function<bool()> ready, std::function<void()> action);

template <typename T>
void WhenShown(std::function<void(T*)> action) {
    WhenReady([] { return ActiveAs<T>() != nullptr; }, [action] { action(ActiveAs<T>()); });
}

// Answers the folder picker as a user would: the path typed into its name field, then its
// accept button. Fails the test when the picker lacks either widget.
void ChooseFolder(QFileDialog& picker, const QString& path);

// Saves the window's current look as a PNG in the build's screenshots folder; returns the path.
std::string SaveScreenshot(QWidget& window, const std::string& name);

// True when `root` or an accessible object below it reports `name` as its name or value.
bool HasAccessibleText(QWidget& root, const QString& name);

}  // namespace quorvel::test
