// The report list and the progress bar of the Qt backend. The list is a QTreeView over a row
// model of our own: rows hold the exact bytes they were given plus the item data, and the view
// creates nothing per row, so a million rows cost only the rows' own memory.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <QAbstractTableModel>
#include <QStyledItemDelegate>
#include <QTreeView>

#include "ui/Port.h"
#include "platform/qt/RepaintPacer.h"

class QProgressBar;

namespace quorvel::qt {

// Rows of texts for the "File" and "Version" columns and an item data each. Rows appended at
// the end reach the view in batches (Publish), one insertion per display frame: a view told of
// every row singly costs a layout and an accessibility event per row.
class RowModel : public QAbstractTableModel {
public:
    struct Row {
        std::string text[2];
        std::intptr_t data = 0;
    };

    // Rows the view knows of (Publish tells it of the rest); none below a row (a flat list).
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // One column per InsertColumn call.
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    // Display, accessible and tooltip text (bytes that are not UTF-8 escaped as \xHH), left alignment.
    QVariant data(const QModelIndex& index, int role) const override;
    // Column headings, left-aligned.
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // Only the first column can be selected, as in a list without full-row selection.
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Inserts a row at `at` (0..Size) with column-0 text and item data 0. A row appended at the
    // end is told to the view at the next Publish; any other change publishes first.
    void Insert(int at, const std::string& text);
    // Tells the view of the rows appended since the last call, as one insertion.
    void Publish();
    // Removes row `at` (a valid index).
    void Remove(int at);
    // Removes every row.
    void Clear();
    // Sets column `column` (0 or 1) of a valid row.
    void SetText(int row, int column, const std::string& text);
    // Appends a column heading.
    void AppendColumn(const std::string& heading);
    // The row `row` (a valid index).
    const Row& At(int row) const { return m_rows[static_cast<std::size_t>(row)]; }
    Row& At(int row) { return m_rows[static_cast<std::size_t>(row)]; }
    // Number of rows, those the view does not know of yet included.
    int Size() const { return static_cast<int>(m_rows.size()); }

private:
    // A deque grows without copying every row, so a huge list never needs twice its memory.
    std::deque<Row> m_rows;
    int m_published = 0;  // rows the view knows of: always the first ones
    std::vector<std::string> m_headings;
};

// Draws the list's cells in rows tall enough for every font a name may need: a name in a
// script the view's font lacks is drawn in a fallback font (CJK, emoji, ...), often taller
// than the view's own, and a row of the view's height would cut its lower part (underscores
// vanish). Cells of column `endElided` are cut at their end, the others in the middle.
class RowDelegate : public QStyledItemDelegate {
public:
    RowDelegate(int endElided, QObject* parent);
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The height of a line of text in `font` with the fallback fonts of many scripts in it.
    static int LineHeightWithFallbacks(const QFont& font);

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

private:
    int m_endElided;
    mutable QString m_measuredFont;  // QFont::key() of the font m_lineHeight is for
    mutable int m_lineHeight = 0;
};

// The list widget: a flat, ungridded report view.
class ReportView : public QTreeView {
public:
    // Single-level, uniform rows tall enough for fallback fonts, item (not row) selection,
    // fixed column widths, paths cut in the middle and statuses at their end, no menu of its own.
    ReportView();
    // Runs a pending row layout now instead of at the next event-loop turn.
    void LayoutNow() { executeDelayedItemsLayout(); }
    // The columns were just given widths that fill the view as wide as it is now.
    void ColumnsFitNow() { m_columnsWidth = width(); }

protected:
    // The first column takes what the list gains or loses in width; the others keep theirs.
    void resizeEvent(QResizeEvent* event) override;

private:
    int m_columnsWidth = -1;  // the view's width the columns were last fitted to
};

// IListView over a ReportView and its RowModel. Repaint-now requests go through the pacer.
class QtListView : public IListView {
public:
    // Shows `view` over a new, empty row model.
    QtListView(ReportView& view, RepaintPacer& pacer);

    // The IListView calls behave as ui/Port.h states.
    void DeleteAllItems() override;
    void DeleteItem(int nItem) override;
    int GetItemCount() const override { return m_model.Size(); }
    int InsertItem(int nItem, const std::string& text) override;
    void SetItemText(int nItem, int nSubItem, const std::string& text) override;
    std::string GetItemText(int nItem, int nSubItem) const override;
    void SetItemData(int nItem, std::intptr_t data) override;
    std::intptr_t GetItemData(int nItem) const override;
    // Recorded and applied at the next paint: scrolling lays out every row, which is too
    // costly to do once per inserted row.
    void EnsureVisible(int nItem) override;
    // Paced: see RepaintPacer.
    void UpdateWindow() override { m_pacer.Request(); }
    // A later column's width grows with a font larger than the template's (see QtList.cpp),
    // taken from the first column.
    void InsertColumn(int nCol, const std::string& heading, int nWidth) override;
    int GetClientWidth() const override;
    int GetVScrollWidth() const override;

    // Lays the rows out and scrolls to the last row asked for; called just before a paint.
    void ApplyPending();
    // The view, for the backend's painting and for tests.
    ReportView& View() { return m_view; }

private:
    bool Valid(int nItem) const { return nItem >= 0 && nItem < m_model.Size(); }

    ReportView& m_view;
    RepaintPacer& m_pacer;
    RowModel m_model;
    int m_scrollTo = -1;
};

// IProgressBar over a QProgressBar, with the position clamped into the range as a native
// progress control does (QProgressBar would ignore an out-of-range value instead). The bar
// shows a new range or position at the next paced repaint: QProgressBar repaints itself on
// every visible step, which would cost a repaint per analysed file.
class QtProgressBar : public IProgressBar {
public:
    // Shows an empty bar of range 0..100.
    QtProgressBar(QProgressBar& bar, RepaintPacer& pacer);

    // Clamp the position into the range at once; the bar shows it at the next paint.
    void SetRange(int nLower, int nUpper) override;
    void SetPos(int nPos) override;
    // Shows the current range and position now.
    void UpdateWindow() override;

    // Hands a changed range or position to the bar and repaints it; called just before a paint.
    void ApplyPending();
    // The position as set and clamped, whether or not the bar shows it yet.
    int Pos() const { return m_pos; }

private:
    void Changed();

    QProgressBar& m_bar;
    RepaintPacer& m_pacer;
    int m_lower = 0;
    int m_upper = 100;
    int m_pos = 0;
    bool m_dirty = true;
};

}  // namespace quorvel::qt
