#include "platform/qt/AppIcon.h"

namespace quorvel::qt {

QIcon MakeAppIcon() {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/quorvel/%1x%1/apps/" QUORVEL_APP_ID ".png").arg(size),
                     QSize(size, size));
    return icon;
}

}  // namespace quorvel::qt
