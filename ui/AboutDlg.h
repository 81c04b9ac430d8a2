// CAboutDlg: the About box. Its window comes from the About template of ui/res/Layout.h;
// its OK button and Escape end it.
#pragma once

#include "ui/Port.h"

namespace quorvel {

class CAboutDlg {
public:
    explicit CAboutDlg(IDialogPort& port) : m_port(port) {}
    // Shows the box modally and returns when the user closes it.
    void DoModal() { m_port.RunAboutBox(); }

private:
    IDialogPort& m_port;
};

}  // namespace quorvel
