// What people expect of a desktop file list beyond showing its rows: a status cut at its end
// (paths are cut in the middle, see ReportView), each cell's whole text as its tooltip (see
// RowModel), a row menu that opens the file's folder or copies its path, and Ctrl+C.
#pragma once

#include <string>

#include <QObject>
#include <QString>
#include <QUrl>

class QPoint;

namespace quorvel {
class IListView;
}

namespace quorvel::qt {

class ReportView;

class ListConventions : public QObject {
public:
    // Sets `view` up and watches its events; the rows' bytes are read from `list`.
    ListConventions(ReportView& view, const IListView& list);

    // The selected rows in row order as lines "path<TAB>version", joined by "\n" (no newline
    // after the last); bytes that are not UTF-8 show as \xHH, as on screen. Empty when none.
    QString SelectedRowsText() const;
    // Puts SelectedRowsText on the clipboard; false (clipboard untouched) when none is selected.
    bool CopySelectedRows() const;
    // Puts the path of `row` on the clipboard; false when the row names no file.
    bool CopyPath(int row) const;
    // The file URL of the folder that holds `row`'s file, every byte of its path kept
    // (percent-encoded); an invalid URL when the row names no file (a placeholder text).
    QUrl FolderUrl(int row) const;
    // Opens that folder in the desktop's file manager (QDesktopServices, that is xdg-open);
    // false when the row names no file or the file manager could not be started.
    bool OpenContainingFolder(int row) const;
    // Shows the row menu of `row` at `globalPos` and runs the chosen item; rows that name no
    // file have no menu.
    void ShowRowMenu(int row, const QPoint& globalPos);

protected:
    // Right clicks and the menu key on the rows, and Ctrl+C in the list.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The path of `row` when the row names a file (an absolute path), empty otherwise.
    std::string FilePath(int row) const;

    ReportView& m_view;
    const IListView& m_list;
};

}  // namespace quorvel::qt
