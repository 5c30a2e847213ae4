#include "ui/Trekhold.h"

#include <algorithm>

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>

#include "ui/CAboutDlg.h"
#include "ui/COculusInstallWgt.h"
#include "ui/uishell.h"
#include "ui/winlook.h"

namespace {

QString TitleButtonStyle(const QString& picture) {
    return QStringLiteral(
               "QPushButton{border-radius: 0px}QPushButton:enabled {border-image: "
               "url(:/res/ICON/%1.png); color: white;}QPushButton:hover { border-image: "
               "url(:/res/ICON/%1_hover.png);} QPushButton:pressed { border-image: "
               "url(:/res/ICON/%1_press.png) ;}")
        .arg(picture);
}

const char* const kMenuStyle =
    "QMenu{border: 1px solid #CCCCCC;background-color: #F2F2F2;margin: 0px;}"
    "QMenu::item {padding: 2px 25px 2px 20px;border: 1px solid transparent;min-width: 3em; "
    "margin: 1px;}"
    " QMenu::item:selected {border-color: #91C9F7;background: #91C9F7;}"
    " QMenu::indicator {width: 0x;height: 0px;}";

const char* const kDescription =
    "Easily move all apps & games in the Oculus installation directory to another drive so that "
    "more space can be used.";

const char* const kRights = "Copyright \u00A9 2026 The Halvex authors. All rights reserved.";

// A picture button says what it does to a screen reader, and on hover. Like the buttons of a
// title bar, it takes the focus from the keyboard only: a click leaves it where the typing is.
QPushButton* TitleButton(QWidget* parent, const QString& picture, int x, const QString& name) {
    auto* button = new QPushButton(parent);
    button->setObjectName(picture);
    button->setGeometry(x, 15, 15, 13);
    button->setStyleSheet(TitleButtonStyle(picture) + QLatin1String(kPictureButtonFocusStyle));
    button->setAccessibleName(name);
    button->setToolTip(name);
    button->setFocusPolicy(Qt::TabFocus);
    button->setAutoDefault(true);  // Enter presses it, as on Windows
    return button;
}

}  // namespace

Trekhold::Trekhold(QWidget* parent) : QWidget(parent, Qt::WindowFlags()), title(tr("Halvex")) {
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(kFramelessFlags);
    setWindowTitle(title);

    menuBtn = TitleButton(this, QStringLiteral("title_menu"), 450, QStringLiteral("Menu"));
    minBtn = TitleButton(this, QStringLiteral("title_min"), 475, QStringLiteral("Minimize"));
    closeBtn = TitleButton(this, QStringLiteral("title_close"), 500, QStringLiteral("Close"));
    connect(menuBtn, &QPushButton::clicked, this, &Trekhold::OnChickMenuBtn);
    connect(minBtn, &QPushButton::clicked, this, &Trekhold::OnChickMinBtn);
    connect(closeBtn, &QPushButton::clicked, qApp, &QApplication::quit);

    pictureLabel = new QLabel(QStringLiteral("<img src=:/res/VR.png>"), this);
    pictureLabel->setGeometry(220, 55, 285, 100);

    descriptionLabel =
        new QLabel(SpacedText(QString::fromUtf8(kDescription), QApplication::font()), this);
    descriptionLabel->setWordWrap(true);
    descriptionLabel->setGeometry(25, 160, 490, 35);

    page = new COculusInstallWgt(this);
    page->setGeometry(25, 175, 490, 300);
    page->setFocus();  // its target field, once the window is shown

    // Grey, but dark enough to read on white (#6E6E6E: 5:1), and centred under the page.
    auto* rights = new QLabel(QString::fromUtf8(kRights), this);
    rights->setObjectName(QStringLiteral("rights"));
    rights->setStyleSheet(QStringLiteral("QLabel{color: #6E6E6E}"));
    rights->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    rights->setGeometry(1, ui::kMainHeight - 25, 528, 20);  // under the note row
    QFont small = QApplication::font();
    small.setPointSize(8);
    rights->setFont(small);

    menu = new QMenu(this);
    menu->setStyleSheet(QLatin1String(kMenuStyle));
    QAction* about =
        menu->addAction(QIcon(QStringLiteral(":/res/ICON/title_menu_about.png")), tr("About"));
    about->setData(1);
    connect(menu, &QMenu::triggered, this, &Trekhold::onMenuTrigger);
    connect(menuBtn, &QPushButton::clicked, this, &Trekhold::onMenuBtn);
    // The title buttons' focus ring is the window's to draw, on its header.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
        for (QWidget* button : {menuBtn, minBtn, closeBtn}) {
            if (button == old || button == now) update(0, 0, width(), 43);
        }
    });
    ui::EnableFramelessDrag(this);
}

Trekhold::~Trekhold() {
    // The children are deleted after this class's part is gone, and deleting a focused one
    // signals the focus change: the handler must not reach this half-destroyed window.
    disconnect(qApp, &QApplication::focusChanged, this, nullptr);
}

void Trekhold::OnChickMenuBtn() {
    // The menu opens from onMenuBtn, which is connected to the same click.
}

void Trekhold::OnChickMinBtn() {
    showMinimized();
}

void Trekhold::onMenuTrigger(QAction* action) {
    if (action->data() != QVariant(1)) return;
    CAboutDlg about(this);
    about.exec();
}

void Trekhold::onMenuBtn() {
    const QPoint at = mapToParent(menuBtn->pos());
    // Ten pixels below its button, and no further right than the window's own edge.
    const int rightmost = mapToParent(QPoint(width(), 0)).x() - menu->sizeHint().width();
    menu->popup(QPoint(std::min(at.x(), rightmost), at.y() + menuBtn->height() + 10));
}

void Trekhold::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (isVisible()) repaint();
}

void Trekhold::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(QRect(0, 0, width(), 43),
                       Picture(QStringLiteral(":/res/main_top.png"), devicePixelRatioF()));
    painter.fillRect(QRect(0, 43, width(), height()), QColor(255, 255, 255));
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(16);
    font.setWeight(QFont::Bold);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QPointF(15.0, 29.0), title);
    for (const QWidget* button : {menuBtn, minBtn, closeBtn})
        DrawTitleFocusRing(painter, button);
    DrawWindowFrame(painter, width(), height());
}

#ifdef Q_OS_WIN
bool Trekhold::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    return ui::HitTestCaption(this, eventType, message, result) ||
           QWidget::nativeEvent(eventType, message, result);
}
#endif

void Trekhold::OfferRecovery() {
    page->OfferRecovery();
}
