// The application icon, drawn in code: a sheet of paper with a green check badge.
#pragma once

#include <QIcon>

namespace quorvel::qt {

// The icon with 16, 32 and 48 pixel images; needs a QGuiApplication.
QIcon MakeAppIcon();

}  // namespace quorvel::qt
