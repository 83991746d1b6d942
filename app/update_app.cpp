#include "app/update_app.h"

#include <memory>

#include "app/update_dlg.h"

bool CUpdateApp::InitInstance(const std::function<void(CUpdateDlg&)>& prepare) {
    auto dialog = std::make_unique<CUpdateDlg>();
    if (prepare) prepare(*dialog);
    dialog->DoModal();
    return false;
}
