#include "platform/qt/QtList.h"

#include <algorithm>

#include <cmath>

#include <QHeaderView>
#include <QGlyphRun>
#include <QRawFont>
#include <QTextLayout>
#include <QProgressBar>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyle>

#include "platform/qt/DialogBuilder.h"
#include "platform/qt/DisplayText.h"

namespace quorvel::qt {

int RowModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_published;
}

int RowModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_headings.size());
}

QVariant RowModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_published || index.column() > 1) return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
    case Qt::ToolTipRole:  // the whole text of a cell that is shown cut short
        return DisplayText(At(index.row()).text[index.column()]);
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return {};
    }
}

QVariant RowModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 ||
        section >= static_cast<int>(m_headings.size()))
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return DisplayText(m_headings[static_cast<std::size_t>(section)]);
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return {};
    }
}

Qt::ItemFlags RowModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    if (index.column() == 0) f |= Qt::ItemIsSelectable;
    return f;
}

void RowModel::Insert(int at, const std::string& text) {
    if (at == Size()) {
        m_rows.push_back(Row{{text, {}}, 0});
        return;
    }
    Publish();
    beginInsertRows(QModelIndex(), at, at);
    m_rows.insert(m_rows.begin() + at, Row{{text, {}}, 0});
    endInsertRows();
    ++m_published;
}

void RowModel::Publish() {
    if (m_published == Size()) return;
    beginInsertRows(QModelIndex(), m_published, Size() - 1);
    m_published = Size();
    endInsertRows();
}

void RowModel::Remove(int at) {
    Publish();
    beginRemoveRows(QModelIndex(), at, at);
    m_rows.erase(m_rows.begin() + at);
    --m_published;
    endRemoveRows();
}

void RowModel::Clear() {
    if (m_rows.empty()) return;
    if (m_published == 0) {
        std::deque<Row>().swap(m_rows);
        return;
    }
    // A row removal, not a model reset: a reset would also reset the column widths.
    beginRemoveRows(QModelIndex(), 0, m_published - 1);
    // Swapping with an empty deque hands the memory back at once.
    std::deque<Row>().swap(m_rows);
    m_published = 0;
    endRemoveRows();
}

void RowModel::SetText(int row, int column, const std::string& text) {
    At(row).text[column] = text;
    // A row the view does not know of yet is shown with its text when it is published.
    if (row >= m_published) return;
    const QModelIndex changed = index(row, column);
    emit dataChanged(changed, changed, {Qt::DisplayRole});
}

void RowModel::AppendColumn(const std::string& heading) {
    const int at = static_cast<int>(m_headings.size());
    beginInsertColumns(QModelIndex(), at, at);
    m_headings.push_back(heading);
    endInsertColumns();
}

RowDelegate::RowDelegate(int endElided, QObject* parent)
    : QStyledItemDelegate(parent), m_endElided(endElided) {}

int RowDelegate::LineHeightWithFallbacks(const QFont& font) {
    // Letters with descenders and underscores in the scripts whose fonts differ most in height.
    static const QString sample = QString::fromUtf8(
        "Ag_j \u0416\u0436 \u03A9 \u6F22\u5B57\u304B\u306A \uD55C\uAE00 \u0639\u0631\u0628\u064A "
        "\u05E2\u05D1 \u0926\u0947\u0935 \u0E44\u0E17\u0E22 \U0001F600\U0001F44D");
    QTextLayout layout(sample, font);
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    // Qt measures a line by its first font alone; the glyphs of each fallback font reach as
    // high and as low as that font's own ascent and descent.
    qreal ascent = line.ascent(), descent = line.descent();
    for (const QGlyphRun& run : layout.glyphRuns()) {
        ascent = std::max(ascent, run.rawFont().ascent());
        descent = std::max(descent, run.rawFont().descent());
    }
    return static_cast<int>(std::ceil(ascent) + std::ceil(descent));
}

QSize RowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    // The style's padding around a line of the view's font, around the tallest line instead.
    // Measured once per font: laying out text in many scripts is not cheap.
    if (option.font.key() != m_measuredFont) {
        m_measuredFont = option.font.key();
        m_lineHeight = LineHeightWithFallbacks(option.font);
    }
    const int padding = size.height() - QFontMetrics(option.font).height();
    size.setHeight(std::max(size.height(), m_lineHeight + std::max(0, padding)));
    return size;
}

void RowDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    if (index.column() == m_endElided) option->textElideMode = Qt::ElideRight;
}

ReportView::ReportView() {
    setRootIsDecorated(false);
    setItemsExpandable(false);
    // Every row has the same height, so the view never measures rows it does not show.
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setAllColumnsShowFocus(false);
    setSortingEnabled(false);
    // Paths are cut in the middle, so that files in deep folders keep their names visible;
    // the "Version" column holds statuses such as "4 - failed: <reason>", whose start says
    // the most, so they are cut at the end.
    setTextElideMode(Qt::ElideMiddle);
    setItemDelegate(new RowDelegate(1, this));
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The columns keep the widths they were given; the last one does not stretch.
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The rows' menu comes from ListConventions; the dialog's menu belongs to its background.
    setContextMenuPolicy(Qt::PreventContextMenu);
}

void ReportView::resizeEvent(QResizeEvent* event) {
    QTreeView::resizeEvent(event);
    // Measured against the width the columns were fitted to: a hidden view gets one resize
    // event for all its changes, when it is shown.
    const int change = width() - m_columnsWidth;
    if (m_columnsWidth >= 0 && change != 0 && header()->count() > 0)
        header()->resizeSection(0, std::max(header()->minimumSectionSize(), header()->sectionSize(0) + change));
    if (m_columnsWidth >= 0) m_columnsWidth = width();
}

QtListView::QtListView(ReportView& view, RepaintPacer& pacer) : m_view(view), m_pacer(pacer) {
    m_view.setModel(&m_model);
}

void QtListView::DeleteAllItems() {
    m_scrollTo = -1;
    m_model.Clear();
}

void QtListView::DeleteItem(int nItem) {
    if (Valid(nItem)) m_model.Remove(nItem);
}

int QtListView::InsertItem(int nItem, const std::string& text) {
    const int at = std::clamp(nItem, 0, m_model.Size());
    m_model.Insert(at, text);
    return at;
}

void QtListView::SetItemText(int nItem, int nSubItem, const std::string& text) {
    if (Valid(nItem) && (nSubItem == 0 || nSubItem == 1)) m_model.SetText(nItem, nSubItem, text);
}

std::string QtListView::GetItemText(int nItem, int nSubItem) const {
    if (!Valid(nItem) || nSubItem < 0 || nSubItem > 1) return {};
    return m_model.At(nItem).text[nSubItem];
}

void QtListView::SetItemData(int nItem, std::intptr_t data) {
    if (Valid(nItem)) m_model.At(nItem).data = data;
}

std::intptr_t QtListView::GetItemData(int nItem) const {
    return Valid(nItem) ? m_model.At(nItem).data : 0;
}

void QtListView::EnsureVisible(int nItem) {
    if (!Valid(nItem)) return;
    m_scrollTo = nItem;
    m_pacer.Schedule();
}

void QtListView::InsertColumn(int /*nCol*/, const std::string& heading, int nWidth) {
    m_model.AppendColumn(heading);
    const int column = m_model.columnCount() - 1;
    // Widths come in pixels of the template's font, whose average character is 6 pixels wide;
    // in a larger font a later column grows with it (so that "Version" and "4 - resaved" stay
    // whole) and the first column gives up as much, so that the columns still fill the list.
    constexpr int kTemplateCharWidth = 6;
    const int charWidth = DialogUnits(m_view.font()).X(4);
    int width = nWidth;
    if (column > 0 && charWidth > kTemplateCharWidth) {
        width = (nWidth * charWidth + kTemplateCharWidth / 2) / kTemplateCharWidth;
        QHeaderView& header = *m_view.header();
        header.resizeSection(0, std::max(header.minimumSectionSize(), header.sectionSize(0) - (width - nWidth)));
    }
    m_view.header()->resizeSection(column, width);
    m_view.ColumnsFitNow();
}

int QtListView::GetClientWidth() const {
    // Computed from the frame rather than read from the viewport, whose geometry is only
    // settled once the window has been shown; OnInitDialog runs before that.
    int width = m_view.contentsRect().width();
    if (m_view.verticalScrollBar()->isVisibleTo(&m_view)) width -= GetVScrollWidth();
    return width;
}

int QtListView::GetVScrollWidth() const {
    return m_view.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr,
                                       m_view.verticalScrollBar());
}

void QtListView::ApplyPending() {
    m_model.Publish();
    m_view.LayoutNow();
    if (Valid(m_scrollTo))
        m_view.scrollTo(m_model.index(m_scrollTo, 0), QAbstractItemView::EnsureVisible);
    m_scrollTo = -1;
}

QtProgressBar::QtProgressBar(QProgressBar& bar, RepaintPacer& pacer) : m_bar(bar), m_pacer(pacer) {
    m_bar.setTextVisible(false);
    ApplyPending();
}

void QtProgressBar::SetRange(int nLower, int nUpper) {
    m_lower = nLower;
    m_upper = nUpper;
    m_pos = std::clamp(m_pos, m_lower, std::max(m_lower, m_upper));
    Changed();
}

void QtProgressBar::SetPos(int nPos) {
    m_pos = std::clamp(nPos, m_lower, std::max(m_lower, m_upper));
    Changed();
}

void QtProgressBar::Changed() {
    m_dirty = true;
    m_pacer.Schedule();
}

void QtProgressBar::UpdateWindow() {
    ApplyPending();
    m_bar.repaint();
}

void QtProgressBar::ApplyPending() {
    if (!m_dirty) return;
    m_dirty = false;
    // An empty range would make QProgressBar show its busy animation; show an empty bar.
    if (m_upper <= m_lower) {
        m_bar.setRange(0, 1);
        m_bar.setValue(0);
    } else {
        m_bar.setRange(m_lower, m_upper);
        m_bar.setValue(m_pos);
    }
    m_bar.repaint();
}

}  // namespace quorvel::qt
