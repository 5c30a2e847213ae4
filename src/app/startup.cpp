#include "app/startup.h"

#include <QApplication>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QIcon>
#include <QPainterPath>
#include <QPixmap>
#include <QRawFont>
#include <memory>

#include "Vr/IArSet.h"
#include "platform/process.h"
#include "platform/sys.h"
#include "ui/Trekhold.h"
#include "ui/uishell.h"

namespace {

void EnablePrivilege(const wchar_t* name) {
    sys::EnableTokenPrivilege(name);  // the program starts without it, too
}

// The single-instance mutex: open for the life of the process, released by the system at exit.
sys::MutexHandle g_instanceMutex = nullptr;

// The process's exit code after a refused start.
constexpr int kExitRefused = 1;

// kExitRefused when another instance runs or the uninstaller does; 0 when the start may go on.
int RefusedStart() {
    sys::MutexHandle instance = sys::CreateMutexW(L"Varko_Oculus_Kestrum");
    g_instanceMutex = instance;
    if (instance && sys::GetLastError() == sys::kErrAlreadyExists) {
        ui::ShowMessageBox(QStringLiteral("Halvex is running..."), ui::kMbOkInfo, ui::Owner::None);
        return kExitRefused;
    }
    sys::MutexHandle probe = sys::CreateMutexW(L"Varko Dravune");
    const uint32_t error = sys::GetLastError();
    sys::CloseHandle(probe);
    if (probe && error == sys::kErrAlreadyExists) {
        ui::ShowMessageBox(QStringLiteral("Dravune Is Running\uFF0CPlease run the Halvex later."),
                           ui::kMbOkInfo, ui::Owner::None);
        return kExitRefused;
    }
    return 0;
}

// Width of the stem of an "l" in the font file at 100 pixels; 0 when the file gives none.
qreal StemWidth(const QString& file) {
    const QRawFont font(file, 100);
    const QList<quint32> glyphs = font.glyphIndexesForString(QStringLiteral("l"));
    return glyphs.isEmpty() ? 0.0 : font.pathForGlyph(glyphs.first()).boundingRect().width();
}

int RunMainWindow(QApplication& app) {
    QApplication::setWindowIcon(QIcon(QPixmap(QStringLiteral(":/res/VR.png"))));
    ProvideTahoma();
    auto font = std::make_unique<QFont>(QStringLiteral("Tahoma"));
    font->setPixelSize(12);
    QApplication::setFont(*font);

    auto window = std::make_unique<Trekhold>(nullptr);
    g_mainWnd = window.get();
    window->setFixedSize(ui::kMainWidth, ui::kMainHeight);
    window->show();
    // Before the window offers a move: what a stopped move left is dealt with or deferred.
    window->OfferRecovery();
    const int result = app.exec();
    window.reset();
    font.reset();
    return result;
}

}  // namespace

// Debian's fonts-wine carries a Tahoma for systems that have none. Its bold face is taken only
// where its letters are drawn bolder than the regular ones: the one fonts-wine ships keeps its
// weight in bitmaps for small sizes, which smoothed text never uses, and its outlines are the
// regular ones, so bold text would come out thin. Without a bold face, the toolkit thickens the
// regular letters itself, at every size and scale. Windows always has Tahoma; a Wine prefix may
// not, and Wine shows the Linux files on drive Z:.
void ProvideTahoma() {
    if (QFontDatabase::families().contains(QStringLiteral("Tahoma"))) return;
#ifdef Q_OS_WIN
    const QString fonts = QStringLiteral("Z:/usr/share/wine/fonts/");
#else
    const QString fonts = QStringLiteral("/usr/share/wine/fonts/");
#endif
    const QString regular = fonts + QStringLiteral("tahoma.ttf");
    const QString bold = fonts + QStringLiteral("tahomabd.ttf");
    if (!QFile::exists(regular) || QFontDatabase::addApplicationFont(regular) < 0) return;
    if (QFile::exists(bold) && StemWidth(bold) > 1.2 * StemWidth(regular)) {
        QFontDatabase::addApplicationFont(bold);
    }
}

int RunHalvex(int argc, char** argv) {
    EnablePrivilege(L"SeBackupPrivilege");
    EnablePrivilege(L"SeRestorePrivilege");
    EnablePrivilege(L"SeDebugPrivilege");
#ifdef Q_OS_WIN
    if (const int refused = RefusedStart()) return refused;
    GetEngine();
    QApplication app(argc, argv);
#else
    // The toolkit's message box needs the application object, so it comes first here.
    QApplication app(argc, argv);
    if (const int refused = RefusedStart()) return refused;
    GetEngine();
#endif
    return RunMainWindow(app);
}
