// The application icon: the images made from ui/res/icon/quorvel.svg, compiled into the program.
#pragma once

#include <QIcon>

namespace quorvel::qt {

// The icon with its images from 16 to 256 pixels; needs a QGuiApplication.
QIcon MakeAppIcon();

}  // namespace quorvel::qt
