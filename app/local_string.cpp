#include "app/res/string_resources.h"
#include "app/update_dlg.h"
#include "platform/language.h"

std::string CUpdateDlg::LoadLocalString(int index) const {
    // Only Chinese as used in the People's Republic selects the Chinese table; the language is
    // asked afresh every time.
    const int base = platform::GetUserDefaultUILanguage() == platform::kLangChinesePrc
                         ? kChineseStringBase
                         : kEnglishStringBase;
    return LoadStringResource(index + base);
}
