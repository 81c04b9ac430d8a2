#include "platform/qt/DialogBuilder.h"

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>

#include "platform/qt/DisplayText.h"
#include "platform/qt/QtList.h"
#include "ui/res/Texts.h"

namespace quorvel::qt {

namespace {

// a * b / c rounded to the nearest integer, for the non-negative values of dialog geometry.
int MulDiv(int a, int b, int c) { return (a * b + c / 2) / c; }

// The low bits of a static control's style hold its kind (left text, icon, ...).
constexpr std::uint32_t kStaticTypeMask = 0x1F;

QWidget* MakeControl(const layout::Control& c, const QIcon& icon, QWidget* parent) {
    const QString text = DisplayText(c.text);
    switch (c.cls) {
    case layout::ControlClass::Button: {
        auto* button = new QPushButton(text, parent);
        button->setDefault((c.style & layout::style::kDefPushButton) != 0);
        // As the Windows dialog manager does it: Enter clicks the focused push button, whichever
        // it is; with the focus elsewhere it clicks the default button, and only when that is
        // enabled. No button ends the dialog by itself, so Enter cannot close it behind the
        // user's back.
        button->setAutoDefault(true);
        button->setAccessibleName(text);
        return button;
    }
    case layout::ControlClass::Static: {
        auto* label = new QLabel(parent);
        if ((c.style & kStaticTypeMask) == layout::style::kIcon) {
            const int size = label->style()->pixelMetric(QStyle::PM_LargeIconSize);
            label->setPixmap(icon.pixmap(size, size));
            label->setAccessibleName(DisplayText(text::kAppName));
        } else {
            label->setText(text);
            label->setTextFormat(Qt::PlainText);
            // Like a static text control: words wrap, and text beyond the control is cut off.
            label->setWordWrap(true);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setAccessibleName(text);
        }
        return label;
    }
    case layout::ControlClass::ListView: {
        auto* view = new ReportView;
        view->setParent(parent);
        view->setAccessibleName(QStringLiteral("File list"));
        return view;
    }
    case layout::ControlClass::Progress: {
        auto* bar = new QProgressBar(parent);
        bar->setAccessibleName(QStringLiteral("Progress"));
        return bar;
    }
    }
    return nullptr;
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // The average width of the 52 letters, rounded as the Windows dialog manager rounds it.
    m_cxChar = (letters / 26 + 1) / 2;
    m_cyChar = metrics.height();
}

int DialogUnits::X(int dlu) const { return MulDiv(dlu, m_cxChar, 4); }
int DialogUnits::Y(int dlu) const { return MulDiv(dlu, m_cyChar, 8); }

QRect DialogUnits::Rect(const layout::Control& c) const {
    return QRect(X(c.x), Y(c.y), X(c.cx), Y(c.cy));
}

QSize DialogUnits::ClientSize(const layout::DialogTemplate& t) const {
    return QSize(X(t.cx), Y(t.cy));
}

QFont DialogFont() { return QApplication::font(); }

std::vector<QWidget*> BuildDialog(QDialog& dlg, const layout::DialogTemplate& t, const QIcon& icon) {
    const QFont font = DialogFont();
    const DialogUnits units(font);
    dlg.setFont(font);
    dlg.setWindowTitle(DisplayText(t.caption));
    dlg.setFixedSize(units.ClientSize(t));

    std::vector<QWidget*> controls;
    QWidget* previousTabStop = nullptr;
    for (const layout::Control& c : t.controls) {
        QWidget* w = MakeControl(c, icon, &dlg);
        w->setGeometry(units.Rect(c));
        // An icon static takes the icon's own size, as it does on Windows.
        if (c.cls == layout::ControlClass::Static &&
            (c.style & kStaticTypeMask) == layout::style::kIcon) {
            const int size = w->style()->pixelMetric(QStyle::PM_LargeIconSize);
            w->resize(size, size);
        }
        if (c.style & layout::style::kTabStop) {
            w->setFocusPolicy(Qt::StrongFocus);
            if (previousTabStop) QWidget::setTabOrder(previousTabStop, w);
            previousTabStop = w;
        } else {
            w->setFocusPolicy(Qt::NoFocus);
        }
        controls.push_back(w);
    }
    return controls;
}

}  // namespace quorvel::qt
