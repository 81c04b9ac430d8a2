// Builds Qt dialogs from the layout table: caption, font, controls laid out from their
// dialog-unit positions (TemplateLayout), tab order and accessible names, and a size that
// fits the screen.
#pragma once

#include <vector>

#include <QFont>
#include <QIcon>
#include <QMargins>
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

// Gives `dlg` the template's caption and `font` and creates its controls: buttons
// (QPushButton), texts and icons (QLabel; icons show `icon`), the report list (a ReportView)
// and the progress bar (QProgressBar), laid out by a TemplateLayout: a template with a list
// makes a resizable window, any other a window of one size that shows every text whole.
// Returns the controls in template order.
std::vector<QWidget*> BuildDialog(QDialog& dlg, const layout::DialogTemplate& t, const QIcon& icon,
                                  const QFont& font = DialogFont());

// Sizes a window built by BuildDialog for `workArea`, the part of the screen windows may use,
// with `frame` the window manager's decoration around it (an estimate where the platform
// does not know it yet): its default size where that fits, else as much as fits, never less
// than its least size. Where even that does not fit, the window is laid out in a smaller
// font, half a point at a time, until it does (or the font reaches 6 points).
void FitToWorkArea(QDialog& dlg, const QRect& workArea, const QMargins& frame);

// Once a shown window knows its real decoration: where the window with it reaches beyond the
// work area of its screen, fits it again (as FitToWorkArea) and moves it inside.
void KeepOnWorkArea(QDialog& dlg);

// The decoration a window manager is assumed to put around a window before it says so
// itself: a title bar and thin borders.
QMargins AssumedFrame();

}  // namespace quorvel::qt
