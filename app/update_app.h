// CUpdateApp: runs the main dialog modally; when it closes the program ends.
#pragma once

#include <functional>

class CUpdateDlg;

class CUpdateApp {
public:
    // Runs the dialog; `prepare` (if given) sees the dialog before it starts, for unattended
    // runs and tests. Returns false, as the program then ends.
    bool InitInstance(const std::function<void(CUpdateDlg&)>& prepare = {});
};
