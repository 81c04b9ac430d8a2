// Driving the real Qt widgets from a test: actions that run once the event loop turns, and
// steps that wait for a condition (a modal box showing, a pass ending) before they act.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <QApplication>
#include <QTimer>
#include <QWidget>

namespace quorvel::qttest {

// Runs `action` once the event loop turns (inside whatever modal loop is running then): a
// click whose handler runs a modal loop must not run inside a polling timer, which would not
// fire again until the handler returned.
inline void RunSoon(std::function<void()> action) { QTimer::singleShot(0, std::move(action)); }

// Polls every 10 ms and runs each step's action, in order, once its condition holds. After
// about 30 s on one step it fails the test and closes every window, so the run cannot hang.
using Step = std::pair<std::function<bool()>, std::function<void()>>;
inline void RunSteps(std::vector<Step> steps) {
    auto* timer = new QTimer;
    auto next = std::make_shared<std::size_t>(0), polls = std::make_shared<std::size_t>(0);
    QObject::connect(timer, &QTimer::timeout, [=] {
        if (steps[*next].first()) {
            *polls = 0;
            steps[(*next)++].second();
        } else if (++*polls == 3000) {
            ADD_FAILURE() << "step " << *next << " never came";
            QApplication::closeAllWindows();
            *next = steps.size();
        }
        if (*next == steps.size()) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

// The active modal or popup widget when it is a T, else null.
template <typename T>
T* ActiveAs() {
    if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget())) return w;
    return qobject_cast<T*>(QApplication::activePopupWidget());
}

// Runs every test inside one QApplication named like the program, on the offscreen platform
// unless the environment names another (e.g. xcb to watch them on a display).
inline int RunAllTests(int argc, char** argv, const char* appName) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(appName);
    return RUN_ALL_TESTS();
}

}  // namespace quorvel::qttest
