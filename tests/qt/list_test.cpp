// The Qt backend's report list, row model, display escaping and progress bar.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QDialog>
#include <QHeaderView>
#include <QProgressBar>
#include <QScrollBar>
#include <QTest>

#include "platform/qt/DisplayText.h"
#include "platform/qt/QtBackend.h"
#include "ui/QuorvelDlg.h"
#include "ui/resource.h"

namespace quorvel {
namespace {

using qt::QtBackend;

struct DisplayCase {
    const char* bytes;
    const char* shown;  // UTF-8
};

class QtDisplayText : public testing::TestWithParam<DisplayCase> {};

TEST_P(QtDisplayText, EscapesExactlyTheBytesThatAreNotUtf8) {
    EXPECT_EQ(qt::DisplayText(GetParam().bytes).toStdString(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, QtDisplayText,
    testing::Values(DisplayCase{"/data/plain.olv", "/data/plain.olv"},
                    DisplayCase{"/data/caf\xC3\xA9.olv", "/data/caf\xC3\xA9.olv"},   // é in UTF-8
                    DisplayCase{"/data/caf\xE9.olv", "/data/caf\\xE9.olv"},          // é in Latin-1
                    DisplayCase{"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},             // 4-byte sequence
                    DisplayCase{"\xC0\xAF", "\\xC0\\xAF"},                           // overlong '/'
                    DisplayCase{"\xED\xA0\x80", "\\xED\\xA0\\x80"},                  // a surrogate
                    DisplayCase{"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},         // above U+10FFFF
                    DisplayCase{"ab\xE2\x82", "ab\\xE2\\x82"},                       // cut short at the end
                    DisplayCase{"\xE2\x82x", "\\xE2\\x82x"},                         // cut short mid-string
                    DisplayCase{"\x80\xBF", "\\x80\\xBF"}));                         // lone continuations

class QtList : public testing::Test {
protected:
    QtBackend backend;
    qt::QtDialogPort& port = backend.Dialog();
    qt::QtListView& list = port.ListView();
};

TEST_F(QtList, RowsKeepTheirBytesItemDataAndOrder) {
    const std::string latin1 = "/data/caf\xE9.olv";
    EXPECT_EQ(list.InsertItem(0, "b"), 0);
    EXPECT_EQ(list.InsertItem(99, latin1), 1);  // clamped to the end
    EXPECT_EQ(list.InsertItem(-3, "a"), 0);     // clamped to the start
    ASSERT_EQ(list.GetItemCount(), 3);
    EXPECT_EQ(list.GetItemText(2, 0), latin1) << "the original bytes come back";
    EXPECT_EQ(list.GetItemData(2), 0);

    list.SetItemText(2, 1, "4");
    list.SetItemData(2, 4);
    list.SetItemText(7, 1, "x");  // out of range: ignored
    list.SetItemData(-1, 9);
    EXPECT_EQ(list.GetItemText(2, 1), "4");
    EXPECT_EQ(list.GetItemText(2, 0), latin1) << "setting column 1 keeps column 0";
    EXPECT_EQ(list.GetItemData(2), 4);
    EXPECT_EQ(list.GetItemText(3, 0), "");
    EXPECT_EQ(list.GetItemData(3), 0);

    std::vector<std::string> walked;
    for (int i = list.GetNextItem(-1); i != -1; i = list.GetNextItem(i))
        walked.push_back(list.GetItemText(i, 0));
    EXPECT_EQ(walked, (std::vector<std::string>{"a", "b", latin1}));

    list.DeleteItem(5);  // ignored
    list.DeleteItem(0);
    EXPECT_EQ(list.GetItemText(0, 0), "b");
    EXPECT_EQ(list.GetItemData(1), 4) << "item data moves with its row";
    list.DeleteAllItems();
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(list.GetNextItem(-1), -1);
}

TEST_F(QtList, ShowsAndReadsOutEscapedNamesAndTheColumnHeadings) {
    CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    list.InsertItem(0, "/data/caf\xE9.olv");
    list.SetItemText(0, 1, "4");

    const QAbstractItemModel* model = list.View().model();
    EXPECT_EQ(model->index(0, 0).data().toString(), "/data/caf\\xE9.olv");
    EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), "File");
    EXPECT_EQ(model->headerData(1, Qt::Horizontal).toString(), "Version");

    // What a screen reader gets over AT-SPI: the column names and every cell's text. It asks
    // from the event loop, after the view has laid out the new rows.
    QApplication::processEvents();
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&list.View());
    ASSERT_NE(iface, nullptr);
    QAccessibleTableInterface* table = iface->tableInterface();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->columnCount(), 2);
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_EQ(table->columnDescription(0), "File");
    EXPECT_EQ(table->columnDescription(1), "Version");
    EXPECT_EQ(table->cellAt(0, 0)->text(QAccessible::Name), "/data/caf\\xE9.olv");
    EXPECT_EQ(table->cellAt(0, 1)->text(QAccessible::Name), "4");
}

TEST_F(QtList, ColumnsAreThoseOnInitDialogMakesAndFillTheListWithItsScrollBar) {
    CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    QTreeView& view = list.View();
    const int client = view.width() - 2 * view.frameWidth();
    const int scroll = view.style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    EXPECT_EQ(list.GetClientWidth(), client);
    EXPECT_EQ(view.header()->sectionSize(0), client - scroll - 80);
    EXPECT_EQ(view.header()->sectionSize(1), 80);
    EXPECT_FALSE(view.header()->stretchLastSection());

    // No grid, no full-row selection: only the file name of a row can be selected.
    EXPECT_EQ(view.selectionBehavior(), QAbstractItemView::SelectItems);
    list.InsertItem(0, "/x.olv");
    EXPECT_TRUE(view.model()->flags(view.model()->index(0, 0)) & Qt::ItemIsSelectable);
    EXPECT_FALSE(view.model()->flags(view.model()->index(0, 1)) & Qt::ItemIsSelectable);

    for (int i = 1; i < 300; ++i) list.InsertItem(i, "/folder/file.olv");
    port.Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&port.Window()));
    list.UpdateWindow();
    QApplication::processEvents();
    ASSERT_TRUE(view.verticalScrollBar()->isVisible());
    EXPECT_EQ(view.header()->sectionSize(0) + view.header()->sectionSize(1),
              view.viewport()->width());
    EXPECT_FALSE(view.horizontalScrollBar()->isVisible());
    EXPECT_EQ(list.GetClientWidth(), view.viewport()->width());

    list.DeleteAllItems();
    EXPECT_EQ(view.header()->sectionSize(1), 80) << "emptying the list keeps the columns";
    port.Window().hide();
}

TEST_F(QtList, TheLastRowAskedForIsShownOnceTheBurstEnds) {
    CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    port.Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&port.Window()));
    // As the search does it: append, scroll to, repaint-now, thousands of times in a row.
    const int rows = 3000;
    for (int i = 0; i < rows; ++i) {
        const int row = list.InsertItem(list.GetItemCount(), "/tree/f" + std::to_string(i) + ".olv");
        list.EnsureVisible(row);
        list.UpdateWindow();
    }
    QTreeView& view = list.View();
    const QModelIndex last = view.model()->index(rows - 1, 0);
    const auto lastRowShown = [&] {
        return view.viewport()->rect().contains(view.visualRect(last));
    };
    EXPECT_TRUE(QTest::qWaitFor(lastRowShown, 5000));
    port.Window().hide();
}

struct ProgressStep {
    bool isRange;
    int a, b;                   // range a..b, or position a
    int minimum, maximum, value;  // what the bar shows afterwards
};

struct ProgressCase {
    const char* name;
    std::vector<ProgressStep> steps;
};

class QtProgress : public testing::TestWithParam<ProgressCase> {};

TEST_P(QtProgress, ClampsLikeANativeBarOverTheFullIntRange) {
    QtBackend backend;
    qt::QtProgressBar& progress = backend.Dialog().ProgressBar();
    auto* bar = static_cast<QProgressBar*>(backend.Dialog().Control(IDC_PROGRESS));
    EXPECT_FALSE(bar->isTextVisible());
    for (const ProgressStep& s : GetParam().steps) {
        if (s.isRange)
            progress.SetRange(s.a, s.b);
        else
            progress.SetPos(s.a);
        EXPECT_EQ(progress.Pos(), s.value);
        // The bar itself shows it from the next paint on.
        backend.Dialog().Pacer().Flush();
        EXPECT_EQ(bar->minimum(), s.minimum);
        EXPECT_EQ(bar->maximum(), s.maximum);
        EXPECT_EQ(bar->value(), s.value);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, QtProgress,
    testing::Values(
        ProgressCase{"BeyondSixteenBits", {{true, 0, 200000, 0, 200000, 0}, {false, 70000, 0, 0, 200000, 70000}}},
        ProgressCase{"PositionClampedToRange", {{true, 0, 10, 0, 10, 0}, {false, 25, 0, 0, 10, 10},
                                                {false, -4, 0, 0, 10, 0}}},
        ProgressCase{"RangeKeepsOrClampsPosition", {{true, 0, 100, 0, 100, 0}, {false, 40, 0, 0, 100, 40},
                                                    {true, 0, 500, 0, 500, 40}, {true, 0, 20, 0, 20, 20}}},
        ProgressCase{"EmptyRangeIsAnEmptyBarNotABusyOne", {{true, 0, 0, 0, 1, 0}, {false, 5, 0, 0, 1, 0},
                                                           {true, 0, 3, 0, 3, 0}}}),
    [](const testing::TestParamInfo<ProgressCase>& p) { return p.param.name; });

}  // namespace
}  // namespace quorvel
