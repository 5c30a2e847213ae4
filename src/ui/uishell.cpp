#include "ui/uishell.h"

#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QWindow>

#include "ui/pathtext.h"
#include "ui/winlook.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

QWidget* g_mainWnd = nullptr;

namespace ui {
namespace {

MessageBoxHook& BoxHook() {
    static MessageBoxHook hook;
    return hook;
}

FolderDialogHook& DialogHook() {
    static FolderDialogHook hook;
    return hook;
}

#ifdef Q_OS_WIN
int NativeBox(const MessageBoxRequest& request) {
    HWND owner = nullptr;
    if (request.owner) owner = reinterpret_cast<HWND>(request.owner->winId());
    return ::MessageBoxW(owner, reinterpret_cast<LPCWSTR>(WithoutPathMarks(request.text).utf16()),
                         L"Halvex", request.style);
}
#else
// Puts a box over the middle of its owner once it shows; the window system would leave a box
// wider than the main window hanging past its left edge.
class CentreOnOwner : public QObject {
  public:
    CentreOnOwner(QWidget* box, QWidget* owner) : QObject(box), box_(box), owner_(owner) {
        box->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        // After the box's own show handling, which gives it its final size.
        if (watched == box_ && event->type() == QEvent::Show && owner_) {
            QMetaObject::invokeMethod(
                this, [this] { Centre(); }, Qt::QueuedConnection);
        }
        return false;
    }
    void Centre() {
        const QRect owner = owner_->frameGeometry();
        const QRect box = box_->frameGeometry();
        box_->move(owner.x() + (owner.width() - box.width()) / 2,
                   owner.y() + (owner.height() - box.height()) / 2);
    }

  private:
    QWidget* box_;
    QWidget* owner_;
};

// The toolkit's icon for a style's MB_ICON* bits, as MessageBoxW draws them.
QMessageBox::Icon IconOf(uint32_t style) {
    switch (style & kMbIconMask) {
        case kMbIconError:
            return QMessageBox::Critical;
        case kMbIconQuestion:
            return QMessageBox::Question;
        case kMbIconWarning:
            return QMessageBox::Warning;
        case kMbIconInfo:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

// An offer of one named action, or two: the buttons carry their names; Escape and closing mean
// "Later" (kIdNo beside one action, kIdCancel beside two).
int OfferBox(const MessageBoxRequest& request) {
    QMessageBox box(IconOf(request.style), QStringLiteral("Halvex"), QString(),
                    QMessageBox::NoButton, request.owner);
    box.setTextFormat(Qt::RichText);
    box.setText(SpacedText(request.text, box.font()));
    new CentreOnOwner(&box, request.owner);
    QPushButton* first = box.addButton(request.action, QMessageBox::AcceptRole);
    QPushButton* second = request.second.isEmpty()
                              ? nullptr
                              : box.addButton(request.second, QMessageBox::DestructiveRole);
    QPushButton* later = box.addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    box.setDefaultButton(second && (request.style & kMbDefaultSecond) ? second : first);
    box.setEscapeButton(later);
    box.exec();
    if (box.clickedButton() == first) return kIdYes;
    return second && box.clickedButton() != second ? kIdCancel : kIdNo;
}

// The toolkit's box where there are no native ones: same caption, icon and buttons.
int NativeBox(const MessageBoxRequest& request) {
    if (!request.action.isEmpty()) return OfferBox(request);
    const bool question = (request.style & 0x0F) == kMbYesNo;
    const auto buttons = question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok;
    QMessageBox box(IconOf(request.style), QStringLiteral("Halvex"), QString(), buttons,
                    request.owner);
    box.setTextFormat(Qt::RichText);
    box.setText(SpacedText(request.text, box.font()));
    // As MessageBoxW: the first button, unless the style names the second.
    const bool defaultNo = (request.style & kMbDefaultSecond) != 0;
    if (question) box.setDefaultButton(defaultNo ? QMessageBox::No : QMessageBox::Yes);
    const int answer = box.exec();
    if (!question) return kIdOk;
    return answer == QMessageBox::Yes ? kIdYes : kIdNo;
}
#endif

}  // namespace

int ShowMessageBox(const QString& text, uint32_t style, Owner owner) {
    return ShowMessageBox(text, style, owner == Owner::MainWindow ? g_mainWnd : nullptr);
}

int ShowMessageBox(const QString& text, uint32_t style, QWidget* window) {
    const ScopedFocusReturn focus;
    const MessageBoxRequest request{text, style, window != nullptr, window};
    if (BoxHook()) return BoxHook()(request);
    return NativeBox(request);
}

void SetMessageBoxHook(MessageBoxHook hook) {
    BoxHook() = std::move(hook);
}

int AskAction(const QString& text, const QString& action, Owner owner) {
    QWidget* window = owner == Owner::MainWindow ? g_mainWnd : nullptr;
    const ScopedFocusReturn focus;
    const MessageBoxRequest request{text, kMbYesNoQuestion, window != nullptr, window, action};
    if (BoxHook()) return BoxHook()(request);
    return NativeBox(request);
}

int AskChoice(const QString& text, const QString& first, const QString& second, bool firstIsDefault,
              Owner owner) {
    QWidget* window = owner == Owner::MainWindow ? g_mainWnd : nullptr;
    const ScopedFocusReturn focus;
    const uint32_t style = kMbYesNoCancelQuestion | (firstIsDefault ? 0u : kMbDefaultSecond);
    const MessageBoxRequest request{text, style, window != nullptr, window, first, second};
    if (BoxHook()) return BoxHook()(request);
    return NativeBox(request);
}

ScopedFocusReturn::ScopedFocusReturn() : widget_(QApplication::focusWidget()) {
    if (!widget_ && g_mainWnd) widget_ = g_mainWnd->focusWidget();
}

ScopedFocusReturn::~ScopedFocusReturn() {
    QWidget* widget = widget_.data();
    if (!widget || !widget->isVisible() || !widget->isEnabled()) {
        // Gone or disabled meanwhile (a move ended): the main window's first control instead.
        widget = g_mainWnd && g_mainWnd->isVisible() ? g_mainWnd->focusWidget() : nullptr;
        if (!widget && g_mainWnd && g_mainWnd->isVisible()) widget = g_mainWnd;
    }
    if (!widget) return;
    QWidget* window = widget->window();
    if (window->isMinimized()) return;  // a person put it away; it stays so
    window->activateWindow();
    widget->setFocus(Qt::ActiveWindowFocusReason);
}

QString GetExistingDirectory(QWidget* parent, const QString& caption, const QString& dir,
                             QFileDialog::Options options) {
    if (DialogHook()) return DialogHook()(parent, caption, dir, options);
    return QFileDialog::getExistingDirectory(parent, caption, dir, options);
}

void SetFolderDialogHook(FolderDialogHook hook) {
    DialogHook() = std::move(hook);
}

bool IsDragPoint(const QWidget* window, const QPoint& pos) {
    return window && window->rect().contains(pos) && !window->childAt(pos);
}

namespace {

// Hands a left press on an uncovered point to the window system, which then moves the window.
class DragFilter : public QObject {
  public:
    explicit DragFilter(QWidget* window) : QObject(window), window_(window) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != window_ || event->type() != QEvent::MouseButtonPress) return false;
        auto* press = static_cast<QMouseEvent*>(event);
        if (press->button() != Qt::LeftButton) return false;
        if (!IsDragPoint(window_, press->position().toPoint())) return false;
        QWindow* handle = window_->windowHandle();
        return handle && handle->startSystemMove();
    }

  private:
    QWidget* window_;
};

}  // namespace

void EnableFramelessDrag(QWidget* window) {
#ifdef Q_OS_WIN
    Q_UNUSED(window);  // nativeEvent answers the hit test
#else
    window->installEventFilter(new DragFilter(window));
#endif
}

#ifdef Q_OS_WIN
bool HitTestCaption(QWidget* window, const QByteArray& eventType, void* message, qintptr* result) {
    if (eventType != "windows_generic_MSG") return false;
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message != WM_NCHITTEST) return false;
    // The message carries physical screen pixels. Made relative to the window first, they need
    // only the window's own scale, whatever screen it is on; a frameless window's client area
    // is the whole window.
    POINT point{static_cast<short>(LOWORD(msg->lParam)), static_cast<short>(HIWORD(msg->lParam))};
    if (!::ScreenToClient(msg->hwnd, &point)) return false;
    const qreal scale = window->devicePixelRatioF();
    const QPoint local(qRound(point.x / scale), qRound(point.y / scale));
    if (!IsDragPoint(window, local)) return false;
    *result = HTCAPTION;
    return true;
}
#endif

}  // namespace ui

void CenterOnMainWnd(QWidget* window) {
    if (!g_mainWnd || !window) return;
    const int dx = (g_mainWnd->width() - window->width()) / 2;
    const int dy = (g_mainWnd->height() - window->height()) / 2;
    window->move(g_mainWnd->pos() + QPoint(dx, dy));
}
