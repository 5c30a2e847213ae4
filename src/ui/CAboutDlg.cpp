#include "ui/CAboutDlg.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "ground/Version.h"
#include "ui/uishell.h"
#include "ui/winlook.h"

namespace {

const char* const kCloseStyle =
    "QPushButton#btnClose{border-radius: 0px}"
    "QPushButton#btnClose:enabled {border-image: url(:/res/ICON/title_close.png); color: white;}"
    "QPushButton#btnClose:hover { border-image: url(:/res/ICON/title_close_hover.png);}"
    "QPushButton#btnClose:pressed { border-image: url(:/res/ICON/title_close_press.png) ;}";

// The version is project()'s, as in the version resource of the exe.
const char* const kAboutText =
    "<b>Halvex " HALVEX_VERSION
    "</b><br><br>"
    "Website: <a href=\"https://halvex.example/\">halvex.example</a><br>"
    "Email:   <a href=\"mailto:support@halvex.example\">support@halvex.example</a>"
    "<br><br>"
    "&copy; 2026 The Halvex authors.<br>All rights reserved.";  // as the main window names them

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent, Qt::WindowFlags()) {
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(kFramelessFlags);
    setFixedSize(370, 240);
    headerPixmap =
        new QPixmap(Picture(QStringLiteral(":/res/main_top.png"), qApp->devicePixelRatio()));

    auto* mainLayout = new QVBoxLayout(this);
    mainLayout->setContentsMargins(0, 0, 0, 0);

    closeBtn = new QPushButton;
    closeBtn->setObjectName(QStringLiteral("btnClose"));
    closeBtn->setFixedSize(15, 13);
    closeBtn->setStyleSheet(QLatin1String(kCloseStyle) + QLatin1String(kPictureButtonFocusStyle));
    closeBtn->setAccessibleName(QStringLiteral("Close"));
    closeBtn->setToolTip(QStringLiteral("Close"));
    closeBtn->setFocusPolicy(Qt::TabFocus);  // as a title bar's button
    closeBtn->setAutoDefault(true);          // Enter presses the focused button, as on Windows
    auto* titleRow = new QHBoxLayout;
    titleRow->addStretch();
    titleRow->addWidget(closeBtn);
    titleRow->addSpacing(10);

    pictureLabel = new QLabel(QStringLiteral("<img src=:/res/VR.png>"));
    auto* pictureColumn = new QVBoxLayout;
    pictureColumn->addWidget(pictureLabel);
    pictureColumn->addStretch();

    textLabel = new QLabel(QLatin1String(kAboutText));
    textLabel->setOpenExternalLinks(true);
    auto* textRow = new QHBoxLayout;
    textRow->addSpacing(20);
    textRow->addLayout(pictureColumn);
    textRow->addWidget(textLabel);
    textRow->addSpacing(20);

    okBtn = new QPushButton(QStringLiteral("OK"));
    okBtn->setObjectName(QStringLiteral("normalbtn"));
    okBtn->setStyleSheet(QLatin1String(kNormalButtonStyle) +
                         QLatin1String(kNormalButtonFocusStyle) +
                         QLatin1String(kNormalButtonDisabledStyle));
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    buttonRow->addWidget(okBtn);
    buttonRow->addSpacing(15);

    mainLayout->addSpacing(10);
    mainLayout->addLayout(titleRow);
    mainLayout->addSpacing(10);
    mainLayout->addSpacing(20);
    mainLayout->addLayout(textRow);
    mainLayout->addSpacing(20);
    mainLayout->addStretch();
    mainLayout->addLayout(buttonRow);
    mainLayout->addSpacing(20);

    okBtn->setFocus();  // rather than the small close button, which comes first
    connect(okBtn, &QPushButton::clicked, this, &CAboutDlg::onBtnClose);
    connect(closeBtn, &QPushButton::clicked, this, &CAboutDlg::onBtnClose);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
        if (old == closeBtn || now == closeBtn) update(0, 0, width(), 33);
    });
    ui::EnableFramelessDrag(this);
}

CAboutDlg::~CAboutDlg() {
    // As in the main window: deleting the focused child signals the focus change.
    disconnect(qApp, &QApplication::focusChanged, this, nullptr);
    delete headerPixmap;
}

void CAboutDlg::onBtnClose() {
    done(1);
}

void CAboutDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(QRect(0, 33, 400, 267), Qt::white);
    painter.drawPixmap(QRect(0, 0, 400, 33), *headerPixmap);
    DrawWindowFrame(painter, width(), height());
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(12);
    font.setWeight(QFont::Bold);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QPointF(5.0, 21.0), QStringLiteral("About"));
    DrawTitleFocusRing(painter, closeBtn);
}

void CAboutDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CenterOnMainWnd(this);
}

#ifdef Q_OS_WIN
bool CAboutDlg::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    return ui::HitTestCaption(this, eventType, message, result) ||
           QDialog::nativeEvent(eventType, message, result);
}
#endif
