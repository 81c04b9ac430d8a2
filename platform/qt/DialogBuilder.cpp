#include "platform/qt/DialogBuilder.h"

#include <algorithm>

#include <QApplication>
#include <QLayout>
#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include "platform/qt/DisplayText.h"
#include "platform/qt/QtList.h"
#include "platform/qt/TemplateLayout.h"
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
            // Words wrap; the layout gives the text the room it needs (TemplateLayout).
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

std::vector<QWidget*> BuildDialog(QDialog& dlg, const layout::DialogTemplate& t, const QIcon& icon,
                                  const QFont& font) {
    dlg.setFont(font);
    dlg.setWindowTitle(DisplayText(t.caption));

    std::vector<QWidget*> controls;
    QWidget* previousTabStop = nullptr;
    for (const layout::Control& c : t.controls) {
        QWidget* w = MakeControl(c, icon, &dlg);
        if (c.style & layout::style::kTabStop) {
            w->setFocusPolicy(Qt::StrongFocus);
            if (previousTabStop) QWidget::setTabOrder(previousTabStop, w);
            previousTabStop = w;
        } else {
            w->setFocusPolicy(Qt::NoFocus);
        }
        controls.push_back(w);
    }
    auto* layout = new TemplateLayout(dlg, t, controls);
    if (!layout->Resizable()) layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->activate();
    if (layout->Resizable()) {
        dlg.resize(layout->sizeHint());
        layout->setGeometry(dlg.contentsRect());
    }
    return controls;
}

void FitToWorkArea(QDialog& dlg, const QRect& workArea, const QMargins& frame) {
    auto* layout = static_cast<TemplateLayout*>(dlg.layout());
    const QSize room = workArea.marginsRemoved(frame).size();
    constexpr double kLeastPoints = 6.0;
    QFont font = dlg.font();
    const auto fits = [&] { return room.expandedTo(layout->minimumSize()) == room; };
    while (!fits()) {
        // Fonts may be sized in points or in pixels; either shrinks by about half a point.
        if (font.pointSizeF() > 0) {
            if (font.pointSizeF() <= kLeastPoints) break;
            font.setPointSizeF(std::max(kLeastPoints, font.pointSizeF() - 0.5));
        } else {
            if (font.pixelSize() <= 8) break;
            font.setPixelSize(font.pixelSize() - 1);
        }
        dlg.setFont(font);
        layout->invalidate();
    }
    if (!layout->Resizable()) return;
    dlg.setMinimumSize(layout->minimumSize());
    dlg.resize(layout->sizeHint().boundedTo(room).expandedTo(layout->minimumSize()));
    // A hidden window lays itself out only when shown; its controls take their places now,
    // so that the dialog's set-up reads the list's real width.
    layout->setGeometry(dlg.contentsRect());
}

void KeepOnWorkArea(QDialog& dlg) {
    if (!dlg.isVisible() || !dlg.screen()) return;
    const QRect area = dlg.screen()->availableGeometry();
    if (area.contains(dlg.frameGeometry())) return;
    const QRect inner = dlg.geometry(), outer = dlg.frameGeometry();
    const QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(),
                         outer.right() - inner.right(), outer.bottom() - inner.bottom());
    FitToWorkArea(dlg, area, frame);
    const QSize size = dlg.frameGeometry().size();
    dlg.move(std::clamp(dlg.frameGeometry().x(), area.left(), std::max(area.left(), area.right() + 1 - size.width())),
             std::clamp(dlg.frameGeometry().y(), area.top(), std::max(area.top(), area.bottom() + 1 - size.height())));
}

QMargins AssumedFrame() { return QMargins(5, 35, 5, 5); }

}  // namespace quorvel::qt
