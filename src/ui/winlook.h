// The look the three frameless windows share.
#pragma once

#include <QFontMetrics>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QString>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QWidget>
#include <Qt>
#include <algorithm>

inline constexpr Qt::WindowFlags kFramelessFlags =
    Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint;

inline const char* const kNormalButtonStyle =
    "QPushButton#normalbtn{border: 1px solid #adadad; background-color: #e1e1e1; padding: 4 "
    "8px;min-width: 5em;}"
    "QPushButton#normalbtn:hover {border: 1px solid #0078d7; "
    "background-color:#e5f1fb;padding: 4 8px;min-width: 5em;}"
    "QPushButton#normalbtn:pressed {border: 1px solid #005499; background-color: "
    "#cce4f7;padding: 4 8px;min-width: 5em;}"
    "QPushButton#normalbtn:disabled {border: 1px solid #bfbfbf;background:#cccccc;padding: 4 "
    "8px;min-width: 5em;}";

// Keyboard focus, added after the rules above: a style sheet that draws a border also drops the
// style's own focus frame. The wider border gives up a pixel of padding, so nothing moves.
inline const char* const kNormalButtonFocusStyle =
    "QPushButton#normalbtn:focus{border: 2px solid #0078d7; padding: 3 7px;}";
// A disabled button, after the rules above: grey text on a light face that can still be read
// (4.6:1), where grey on grey could not.
inline const char* const kNormalButtonDisabledStyle =
    "QPushButton#normalbtn:disabled{color: #6d6d6d; background-color: #f0f0f0;}";
inline const char* const kEditFocusStyle =
    "QLineEdit:focus{border: 2px solid #0078d7; padding: 2 0px;}";
// A picture button on the dark header: its window draws its focus ring (DrawTitleFocusRing),
// and the button itself draws none, which would be a faint dotted box on dark blue.
inline const char* const kPictureButtonFocusStyle = "QPushButton:focus{outline: none;}";

// The one-pixel dark blue frame, as four lines along the edges.
inline void DrawWindowFrame(QPainter& painter, int width, int height) {
    painter.setPen(QColor(11, 43, 75));
    painter.drawLine(0, 0, width, 0);
    painter.drawLine(0, 0, 0, height);
    painter.drawLine(0, height - 1, width, height - 1);
    painter.drawLine(width - 1, 0, width - 1, height);
}

// A clear ring around a title-bar button that has the keyboard focus, drawn by its window on the
// header around the button: white on the dark blue, two pixels wide, three pixels out.
inline void DrawTitleFocusRing(QPainter& painter, const QWidget* button) {
    if (!button || !button->hasFocus() || !button->isVisible()) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(button->geometry()).adjusted(-3, -3, 3, 3), 2, 2);
    painter.restore();
}

// The picture at path for a screen with the given pixel ratio: above 1, its copy at twice the
// size ("name@2x.png") where the bundle has one, so that it stays sharp.
inline QPixmap Picture(const QString& path, qreal ratio) {
    if (ratio > 1.0) {
        QString sharp = path;
        sharp.insert(sharp.lastIndexOf(u'.'), QStringLiteral("@2x"));
        QPixmap pixmap(sharp);
        if (!pixmap.isNull()) {
            pixmap.setDevicePixelRatio(2.0);
            return pixmap;
        }
    }
    return QPixmap(path);
}

// The distance between wrapped lines of text in font: as far as its letters reach, and two
// pixels more. The Tahoma of fonts-wine claims 11-pixel lines for letters 14 pixels high at
// 12 pixels, so lines at its own spacing touch; a font with honest metrics keeps its spacing.
inline int SpacedLineHeight(const QFont& font) {
    const QFontMetrics metrics(font);
    const int ink = metrics.tightBoundingRect(QStringLiteral("bdfghjklpqy")).height();
    return std::max(metrics.lineSpacing(), ink + 2);
}

// Plain text as rich text whose wrapped lines keep SpacedLineHeight apart.
inline QString SpacedText(const QString& plain, const QFont& font) {
    QString html = plain.toHtmlEscaped();
    html.replace(u'\n', QStringLiteral("<br>"));
    return QStringLiteral("<div style=\"line-height:%1px\">%2</div>")
        .arg(SpacedLineHeight(font))
        .arg(html);
}

// The same for a text view: appended lines take the format of the block the view's cursor is
// in, so setting it on the first block spaces every later one.
inline void SpaceLines(QTextEdit* view) {
    QTextBlockFormat format;
    format.setLineHeight(SpacedLineHeight(view->font()), QTextBlockFormat::FixedHeight);
    view->textCursor().setBlockFormat(format);
}
