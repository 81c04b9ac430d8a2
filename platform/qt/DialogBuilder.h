// Builds Qt dialogs from the layout table: fixed size, caption, font, controls at their
// dialog-unit positions, tab order and accessible names.
#pragma once

#include <vector>

#include <QFont>
#include <QIcon>
#include <QRect>

#include "ui/res/Layout.h"

class QDialog;
class QWidget;

namespace quorvel::qt {

// Dialog units of a font, converted to pixels the way the Windows dialog manager does it:
// the base units are the average width of "A".."Z" "a".."z" and the font height, and each
// coordinate is scaled on its own with rounding (x * cx / 4, y * cy / 8).
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);

    // Horizontal and vertical dialog units in pixels.
    int X(int dlu) const;
    int Y(int dlu) const;
    // A control's rectangle in pixels, relative to the dialog's client area.
    QRect Rect(const layout::Control& c) const;
    // The dialog's client size in pixels.
    QSize ClientSize(const layout::DialogTemplate& t) const;

private:
    int m_cxChar;
    int m_cyChar;
};

// The font every template is laid out in. A template names the shell's dialog font, which on
// Windows follows the system's settings; here the desktop's general UI font (the application
// font) takes its place, face and size, so a larger desktop font gives larger windows.
QFont DialogFont();

// Gives `dlg` the template's caption, font and fixed size and creates its controls: buttons
// (QPushButton), texts and icons (QLabel; icons show `icon`), the report list (a ReportView)
// and the progress bar (QProgressBar). Returns the controls in template order.
std::vector<QWidget*> BuildDialog(QDialog& dlg, const layout::DialogTemplate& t, const QIcon& icon);

}  // namespace quorvel::qt
