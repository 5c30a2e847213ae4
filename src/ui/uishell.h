// What the windows share: the main window pointer, the one message-box function, the one
// folder dialog, and the placement and dragging of frameless windows. The box and the dialog can
// be replaced, so that tests can answer and observe them.
#pragma once

#include <QFileDialog>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>

// The one main window; null until start-up has made it.
extern QWidget* g_mainWnd;

namespace ui {

// The main window's fixed size, in the window's own pixels.
inline constexpr int kMainWidth = 530;
inline constexpr int kMainHeight = 405;

// MessageBoxW styles and answers. A style is its buttons (the low four bits), its icon (the
// next four: what the box is) and its default button.
inline constexpr uint32_t kMbYesNo = 0x04;
inline constexpr uint32_t kMbIconMask = 0xF0;
inline constexpr uint32_t kMbIconError = 0x10;       // MB_ICONERROR: a failure
inline constexpr uint32_t kMbIconQuestion = 0x20;    // MB_ICONQUESTION: a question
inline constexpr uint32_t kMbIconWarning = 0x30;     // MB_ICONWARNING: a refusal, or a risk
inline constexpr uint32_t kMbIconInfo = 0x40;        // MB_ICONINFORMATION: closing words
inline constexpr uint32_t kMbDefaultSecond = 0x100;  // MB_DEFBUTTON2
// The program's first boxes, the refusals of the target, the removable-drive question and the
// start-up refusals, keep the information icon users know them by.
inline constexpr uint32_t kMbOkInfo = 0x40;     // MB_OK | MB_ICONINFORMATION
inline constexpr uint32_t kMbYesNoInfo = 0x44;  // MB_YESNO | MB_ICONINFORMATION
// The boxes added since, by what they are.
inline constexpr uint32_t kMbOkWarning = kMbIconWarning;  // a refusal
inline constexpr uint32_t kMbOkError = kMbIconError;      // a failure
inline constexpr uint32_t kMbYesNoQuestion = kMbYesNo | kMbIconQuestion;
// A question with "No" as the default: Enter must not start what the question warns against.
inline constexpr uint32_t kMbYesNoQuestionDefaultNo = kMbYesNoQuestion | kMbDefaultSecond;
inline constexpr uint32_t kMbYesNoWarningDefaultNo = kMbYesNo | kMbIconWarning | kMbDefaultSecond;
inline constexpr uint32_t kMbYesNoCancelQuestion = 0x03 | kMbIconQuestion;  // MB_YESNOCANCEL
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

enum class Owner { MainWindow, None };

struct MessageBoxRequest {
    QString text;
    uint32_t style = kMbOkInfo;
    bool owned = false;        // owned by a window (its native window)
    QWidget* owner = nullptr;  // that window: the main window, or the one the caller named
    QString action;            // AskAction's named action; empty for the other boxes
    QString second;            // AskChoice's second action; empty for the other boxes
};
using MessageBoxHook = std::function<int(const MessageBoxRequest&)>;

// Shows a box captioned "Halvex" with the buttons and icon of style and returns the button
// pressed (kId*). Owned by g_mainWnd when asked and when it exists; modal until answered.
int ShowMessageBox(const QString& text, uint32_t style = kMbOkInfo,
                   Owner owner = Owner::MainWindow);
// The same, owned by window: a box that belongs to a dialog above the main window stays above
// that dialog, where a window manager would raise the main window with a box of its own.
int ShowMessageBox(const QString& text, uint32_t style, QWidget* window);
void SetMessageBoxHook(MessageBoxHook hook);  // empty restores the real box

// Offers one named action or "Later", with the question icon: kIdYes for the action, kIdNo for
// later. MessageBoxW names no buttons, so on Windows the box asks with Yes and No and the text
// must end in the question they answer ("Finish the move now?"); elsewhere the buttons carry
// the action and "Later".
int AskAction(const QString& text, const QString& action, Owner owner = Owner::MainWindow);
// Offers two named actions or "Later": kIdYes for the first, kIdNo for the second, kIdCancel for
// later; firstIsDefault says which action Enter takes. On Windows the box asks with Yes, No and
// Cancel, and the text must say which does what.
int AskChoice(const QString& text, const QString& first, const QString& second, bool firstIsDefault,
              Owner owner = Owner::MainWindow);

// Gives the focus back, at the end of its scope, to the widget that held it at the start (or to
// the main window's), and makes its window the active one again: once a box or dialog closes,
// a window system without a window manager, or a box without an owner, leaves no window active
// and so no focus in sight.
class ScopedFocusReturn {
  public:
    ScopedFocusReturn();
    ~ScopedFocusReturn();
    ScopedFocusReturn(const ScopedFocusReturn&) = delete;
    ScopedFocusReturn& operator=(const ScopedFocusReturn&) = delete;

  private:
    QPointer<QWidget> widget_;
};

using FolderDialogHook = std::function<QString(QWidget* parent, const QString& caption,
                                               const QString& dir, QFileDialog::Options)>;
// QFileDialog::getExistingDirectory, or the hook when one is set.
QString GetExistingDirectory(QWidget* parent, const QString& caption, const QString& dir,
                             QFileDialog::Options options);
void SetFolderDialogHook(FolderDialogHook hook);

}  // namespace ui

// Moves window to the main window's position plus half the difference of their sizes.
void CenterOnMainWnd(QWidget* window);

namespace ui {

// True when a press at pos (window coordinates) may drag window: no child lies there.
bool IsDragPoint(const QWidget* window, const QPoint& pos);

// Lets a frameless window be dragged from any point that no child covers. On Windows the
// window's nativeEvent answers WM_NCHITTEST through HitTestCaption; elsewhere this installs a
// filter that hands such a press to the window system's move.
void EnableFramelessDrag(QWidget* window);

#ifdef Q_OS_WIN
bool HitTestCaption(QWidget* window, const QByteArray& eventType, void* message, qintptr* result);
#endif

}  // namespace ui
