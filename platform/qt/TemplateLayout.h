// Lays the controls of a dialog template out in a window of any size and in any font, so that
// no text is ever cut and the list takes whatever room the window has.
//
// Positions start from the template's dialog units in the window's font. From there:
// - in a window with a list, a control wider than half the template (the list, the progress
//   bar, the step-2 text) keeps its distance to the right edge, so it grows and shrinks with
//   the window;
// - a text or button whose words need more room than the template gives grows to the right,
//   pushing the controls beside it (Browse beside Step 1, Fix files and Close beside Step 3)
//   as far as the window allows; a text that still does not fit wraps and grows downward,
//   pushing what lies below it;
// - the controls below the list keep their distance to the bottom edge, the list takes the
//   height between.
// A template without a list (the About box) gets a fixed size: its own, or larger where its
// texts need it.
#pragma once

#include <vector>

#include <QLayout>
#include <QRect>

#include "ui/res/Layout.h"

class QWidgetItem;

namespace quorvel::qt {

class TemplateLayout : public QLayout {
public:
    // Lays out `controls`, the widgets of `t`'s controls in template order, inside their
    // parent `dlg` (which must be their parent widget). Set as `dlg`'s layout.
    TemplateLayout(QWidget& dlg, const layout::DialogTemplate& t, const std::vector<QWidget*>& controls);
    ~TemplateLayout() override;

    // The template's size in the window's font, taller by what wrapped texts need there.
    QSize sizeHint() const override;
    // The smallest size at which every control is whole and the list shows a few rows. A
    // template without a list has one size only.
    QSize minimumSize() const override;
    QSize maximumSize() const override;
    // Places every control for the given client rectangle.
    void setGeometry(const QRect& rect) override;

    // QLayout's item access, over the controls in template order.
    void addItem(QLayoutItem* item) override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    int count() const override;

    // Where each control goes in a client area of `size` (template order).
    std::vector<QRect> Place(QSize size) const;
    // Whether the window may change its size (the template has a list to give the room to).
    bool Resizable() const { return m_list >= 0; }

private:
    struct Geometry;
    // Where the controls go in a client area of `size`; with `textsGrow` false, texts keep the
    // width the template gives them and wrap in it.
    Geometry Compute(QSize size, bool textsGrow = true) const;

    const layout::DialogTemplate& m_template;
    std::vector<QWidget*> m_controls;
    std::vector<QWidgetItem*> m_items;
    int m_list = -1;  // index of the list control, -1 when there is none
};

}  // namespace quorvel::qt
