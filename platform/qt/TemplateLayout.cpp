#include "platform/qt/TemplateLayout.h"

#include <algorithm>
#include <functional>
#include <numeric>

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWidget>
#include <QWidgetItem>

#include "platform/qt/DialogBuilder.h"

namespace quorvel::qt {

namespace {

using layout::Control;
using layout::ControlClass;

// The low bits of a static control's style hold its kind (left text, icon, ...).
constexpr std::uint32_t kStaticTypeMask = 0x1F;
// Space kept between a grown control and the one it pushes, in dialog units (the usual
// spacing of related controls).
constexpr int kGapDlu = 4;
// The least height of the list, in dialog units: its header and a few rows.
constexpr int kMinListDlu = 48;

bool IsText(const Control& c) {
    return c.cls == ControlClass::Static && (c.style & kStaticTypeMask) != layout::style::kIcon;
}

bool IsIcon(const Control& c) {
    return c.cls == ControlClass::Static && (c.style & kStaticTypeMask) == layout::style::kIcon;
}

// Whether two controls share a line: their template spans overlap vertically.
bool SameLine(const Control& a, const Control& b) { return a.y < b.y + b.cy && b.y < a.y + a.cy; }

// The width a label needs to show its text on one line.
int OneLineWidth(const QLabel& label) {
    if (label.text().isEmpty()) return 0;
    const int oneLine = label.heightForWidth(QWIDGETSIZE_MAX / 2);
    int width = QFontMetrics(label.font()).horizontalAdvance(label.text()) + 2 * label.margin();
    // The label wraps by its own measure, which may round differently: widen until it agrees.
    for (int tries = 0; tries < 16 && label.heightForWidth(width) > oneLine; ++tries) ++width;
    return width;
}

// The size a push button needs to show its text whole: the text plus the style's frame and
// padding around it.
QSize ButtonNeeds(const QPushButton& button) {
    QStyleOptionButton option;
    option.initFrom(&button);
    option.text = button.text();
    if (button.isDefault()) option.features |= QStyleOptionButton::DefaultButton;
    option.features |= QStyleOptionButton::AutoDefaultButton;
    option.rect = QRect(0, 0, 1000, 1000);
    const QRect contents = button.style()->subElementRect(QStyle::SE_PushButtonContents, &option, &button);
    const QFontMetrics fm(button.font());
    const int padding = fm.averageCharWidth();  // air between the text and the frame
    return QSize(fm.horizontalAdvance(button.text()) + 1000 - contents.width() + padding,
                 fm.height() + 1000 - contents.height());
}

}  // namespace

struct TemplateLayout::Geometry {
    std::vector<QRect> rects;
    int topGrowth = 0;     // extra height of the controls above the list
    int bottomGrowth = 0;  // extra height of the controls below the list
    int overflow = 0;      // width the widest wrapped text lacks for one line
};

TemplateLayout::TemplateLayout(QWidget& dlg, const layout::DialogTemplate& t,
                               const std::vector<QWidget*>& controls)
    : QLayout(&dlg), m_template(t), m_controls(controls) {
    setContentsMargins(0, 0, 0, 0);
    for (std::size_t i = 0; i < m_controls.size(); ++i) {
        m_items.push_back(new QWidgetItem(m_controls[i]));
        if (t.controls[i].cls == ControlClass::ListView) m_list = static_cast<int>(i);
    }
}

TemplateLayout::~TemplateLayout() {
    for (QWidgetItem* item : m_items) delete item;
}

void TemplateLayout::addItem(QLayoutItem* item) {
    // Controls come from the template only; anything else is not laid out.
    delete item;
}

QLayoutItem* TemplateLayout::itemAt(int index) const {
    return index >= 0 && index < count() ? m_items[static_cast<std::size_t>(index)] : nullptr;
}

QLayoutItem* TemplateLayout::takeAt(int /*index*/) { return nullptr; }

int TemplateLayout::count() const { return static_cast<int>(m_items.size()); }

TemplateLayout::Geometry TemplateLayout::Compute(QSize size, bool textsGrow) const {
    const auto& tpl = m_template.controls;
    const std::size_t n = std::min(tpl.size(), m_controls.size());
    const DialogUnits du(parentWidget()->font());
    const int templateWidth = du.X(m_template.cx), templateHeight = du.Y(m_template.cy);

    Geometry g;
    std::vector<QRect>& r = g.rects;
    std::vector<bool> stretches(n);
    int rightmost = 0;
    for (std::size_t i = 0; i < n; ++i) {
        r.push_back(du.Rect(tpl[i]));
        rightmost = std::max(rightmost, r[i].x() + r[i].width());
        stretches[i] = Resizable() && 2 * tpl[i].cx > m_template.cx;
        // An icon takes the icon's own size, as it does on Windows.
        if (IsIcon(tpl[i])) {
            const int icon = m_controls[i]->style()->pixelMetric(QStyle::PM_LargeIconSize);
            r[i].setSize(QSize(icon, icon));
        }
    }
    const int rightLimit = size.width() - std::max(0, templateWidth - rightmost);
    for (std::size_t i = 0; i < n; ++i)
        if (stretches[i]) r[i].setWidth(std::max(1, r[i].width() + size.width() - templateWidth));

    // What each text or button needs to be whole, in pixels.
    std::vector<int> needWidth(n), needHeight(n);
    for (std::size_t i = 0; i < n; ++i) {
        needWidth[i] = r[i].width();
        needHeight[i] = r[i].height();
        if (const auto* button = qobject_cast<const QPushButton*>(m_controls[i])) {
            const QSize needs = ButtonNeeds(*button);
            needWidth[i] = std::max(needWidth[i], needs.width());
            needHeight[i] = std::max(needHeight[i], needs.height());
        } else if (const auto* label = qobject_cast<const QLabel*>(m_controls[i]);
                   label && textsGrow && IsText(tpl[i]) && !stretches[i]) {
            needWidth[i] = std::max(needWidth[i], OneLineWidth(*label));
        }
    }

    // Growth to the right. The controls beside a control on its line block it; it grows into
    // the free space before them, then pushes them as far as they can go.
    const int gap = du.X(kGapDlu);
    std::vector<std::vector<std::size_t>> blockers(n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            if (j != i && !stretches[j] && tpl[j].x >= tpl[i].x + tpl[i].cx && SameLine(tpl[i], tpl[j]))
                blockers[i].push_back(j);
    const auto right = [&](std::size_t i) { return r[i].x() + r[i].width(); };
    // Space to keep between i and its blocker j: the usual gap, or less where the template has less.
    const auto spacing = [&](std::size_t i, std::size_t j) {
        return std::min(gap, std::max(0, du.Rect(tpl[j]).x() - (du.Rect(tpl[i]).x() + du.Rect(tpl[i]).width())));
    };
    const auto freeRoom = [&](std::size_t i) {
        int room = rightLimit - right(i);
        for (const std::size_t j : blockers[i]) room = std::min(room, r[j].x() - spacing(i, j) - right(i));
        return room;
    };
    // How far control i can move right, with whatever it pushes in turn.
    std::function<int(std::size_t)> roomToMove = [&](std::size_t i) {
        int room = rightLimit - right(i);
        for (const std::size_t j : blockers[i])
            room = std::min(room, r[j].x() - spacing(i, j) - right(i) + roomToMove(j));
        return std::max(0, room);
    };
    std::function<void(std::size_t, int)> push = [&](std::size_t i, int by) {
        r[i].translate(by, 0);
        for (const std::size_t j : blockers[i])
            if (const int overlap = right(i) + spacing(i, j) - r[j].x(); overlap > 0) push(j, overlap);
    };
    std::vector<std::size_t> leftToRight(n);
    std::iota(leftToRight.begin(), leftToRight.end(), std::size_t{0});
    std::stable_sort(leftToRight.begin(), leftToRight.end(),
                     [&](std::size_t a, std::size_t b) { return tpl[a].x < tpl[b].x; });
    for (const std::size_t i : leftToRight) {
        int want = needWidth[i] - r[i].width();
        if (stretches[i] || want <= 0) continue;
        const int into = std::clamp(freeRoom(i), 0, want);
        r[i].setWidth(r[i].width() + into);
        want -= into;
        if (want > 0 && !blockers[i].empty()) {
            int room = want;
            for (const std::size_t j : blockers[i]) room = std::min(room, roomToMove(j));
            r[i].setWidth(r[i].width() + room);
            for (const std::size_t j : blockers[i])
                if (const int overlap = right(i) + spacing(i, j) - r[j].x(); overlap > 0) push(j, overlap);
            want -= room;
        }
        if (IsText(tpl[i])) g.overflow = std::max(g.overflow, want);
    }

    // Heights: a text that wraps grows downward and pushes what lies below it.
    std::vector<int> grown(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        int height = std::max(r[i].height(), needHeight[i]);
        if (const auto* label = qobject_cast<const QLabel*>(m_controls[i]); label && IsText(tpl[i]))
            height = std::max(height, label->heightForWidth(r[i].width()));
        grown[i] = height - r[i].height();
        r[i].setHeight(height);
    }
    const int list = m_list;
    const auto below = [&](std::size_t i) {
        return list >= 0 && tpl[i].y >= tpl[static_cast<std::size_t>(list)].y + tpl[static_cast<std::size_t>(list)].cy;
    };
    std::vector<std::size_t> topToBottom(leftToRight);
    std::stable_sort(topToBottom.begin(), topToBottom.end(),
                     [&](std::size_t a, std::size_t b) { return tpl[a].y < tpl[b].y; });
    std::vector<int> pushed(n, 0);
    for (const std::size_t i : topToBottom) {
        if (static_cast<int>(i) == list) continue;
        for (const std::size_t k : topToBottom) {
            if (k == i || static_cast<int>(k) == list || below(k) != below(i)) continue;
            if (tpl[k].y + tpl[k].cy <= tpl[i].y) pushed[i] = std::max(pushed[i], pushed[k] + grown[k]);
        }
        (below(i) ? g.bottomGrowth : g.topGrowth) =
            std::max(below(i) ? g.bottomGrowth : g.topGrowth, pushed[i] + grown[i]);
    }
    const int bottomShift = size.height() - templateHeight - g.bottomGrowth;
    for (std::size_t i = 0; i < n; ++i) {
        if (static_cast<int>(i) == list) {
            r[i].translate(0, g.topGrowth);
            r[i].setHeight(std::max(0, r[i].height() + size.height() - templateHeight - g.topGrowth -
                                           g.bottomGrowth));
        } else {
            r[i].translate(0, pushed[i] + (below(i) ? bottomShift : 0));
        }
    }
    return g;
}

std::vector<QRect> TemplateLayout::Place(QSize size) const { return Compute(size).rects; }

QSize TemplateLayout::sizeHint() const {
    QSize size = DialogUnits(parentWidget()->font()).ClientSize(m_template);
    Geometry g = Compute(size);
    // A window that cannot grow with the user gives its texts the width they need.
    if (!Resizable() && g.overflow > 0) {
        size.rwidth() += g.overflow;
        g = Compute(size);
    }
    return size + QSize(0, g.topGrowth + g.bottomGrowth);
}

QSize TemplateLayout::minimumSize() const {
    if (!Resizable()) return sizeHint();
    const auto& tpl = m_template.controls;
    const DialogUnits du(parentWidget()->font());
    const QSize templ = du.ClientSize(m_template);
    // As narrow as the controls that keep their width allow, with every text wrapped in the
    // width the template gives it.
    int rightmost = 0, widthNeeded = 0;
    for (const Control& c : tpl) rightmost = std::max(rightmost, du.X(c.x) + du.X(c.cx));
    const Geometry wrapped = Compute(templ, false);
    for (std::size_t i = 0; i < tpl.size() && i < wrapped.rects.size(); ++i)
        if (2 * tpl[i].cx <= m_template.cx)  // those that do not stretch
            widthNeeded = std::max(widthNeeded, wrapped.rects[i].x() + wrapped.rects[i].width());
    const int width = widthNeeded + std::max(0, templ.width() - rightmost);
    const Geometry narrow = Compute(QSize(width, templ.height()));
    const int listHeight = du.Y(tpl[static_cast<std::size_t>(m_list)].cy);
    return QSize(width, templ.height() - listHeight + du.Y(kMinListDlu) + narrow.topGrowth +
                            narrow.bottomGrowth);
}

QSize TemplateLayout::maximumSize() const {
    return Resizable() ? QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX) : sizeHint();
}

void TemplateLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    const std::vector<QRect> rects = Place(rect.size());
    for (std::size_t i = 0; i < rects.size(); ++i)
        m_controls[i]->setGeometry(rects[i].translated(rect.topLeft()));
}

}  // namespace quorvel::qt
