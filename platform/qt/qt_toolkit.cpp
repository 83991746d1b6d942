#include "platform/qt/qt_toolkit.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "platform/language.h"
#include "platform/qt/qt_dialog_window.h"

namespace platform {

namespace {

class QtToolkit final : public Toolkit {
public:
    QtToolkit(int& argc, char** argv) : m_App(argc, argv) {
        // The buttons of message boxes and the file dialog speak the user's language.
        if (GetUserDefaultUILanguage() == kLangChinesePrc &&
            m_Translator.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                              QStringLiteral("_"),
                              QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
            QApplication::installTranslator(&m_Translator);
        }
    }

    int RunModal(CDialog& dialog, const DialogTemplate& dialogTemplate) override {
        QtDialogWindow window(dialog, dialogTemplate);
        dialog.AttachWindow(&window);
        dialog.OnInitDialog();
        window.show();
        const int result = window.exec();
        dialog.OnDestroy();
        dialog.AttachWindow(nullptr);
        return result;
    }

private:
    QApplication m_App;
    QTranslator m_Translator;
};

}  // namespace

std::unique_ptr<Toolkit> CreateQtToolkit(int& argc, char** argv) {
    return std::make_unique<QtToolkit>(argc, argv);
}

}  // namespace platform
