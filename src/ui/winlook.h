// The look the three frameless windows share.
#pragma once

#include <QPainter>
#include <Qt>

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

// The one-pixel dark blue frame, as four lines along the edges.
inline void DrawWindowFrame(QPainter& painter, int width, int height) {
    painter.setPen(QColor(11, 43, 75));
    painter.drawLine(0, 0, width, 0);
    painter.drawLine(0, 0, 0, height);
    painter.drawLine(0, height - 1, width, height - 1);
    painter.drawLine(width - 1, 0, width - 1, height);
}
