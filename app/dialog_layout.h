#pragma once
// Shared by the dialog's rooms: the caption of its messages, its unit of
// length, and how a control is placed.
#include <cmath>
#include <string>
#include <QFontMetrics>
#include <QPushButton>
#include <QRect>
#include <QString>

inline const char kAppName[] = "Quillmark";

// The window's geometry is given in dialog units: a quarter of the font's
// average character width across, an eighth of its height down.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font) {
        QFontMetrics metrics(font);
        const int alphabet = metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        x_ = (alphabet / 26.0 + 1) / 2 / 4;
        y_ = metrics.height() / 8.0;
    }
    int x(int units) const { return static_cast<int>(std::lround(units * x_)); }
    int y(int units) const { return static_cast<int>(std::lround(units * y_)); }
    QRect rect(int left, int top, int width, int height) const {
        return QRect(x(left), y(top), x(width), y(height));
    }

private:
    double x_ = 1.5;
    double y_ = 1.5;
};

template <typename Widget>
Widget* place(QWidget* parent, Widget* widget, const char* id, const QRect& rect) {
    widget->setParent(parent);
    if (id) widget->setObjectName(QString::fromLatin1(id));
    widget->setGeometry(rect);
    return widget;
}

inline QPushButton* makeButton(QWidget* parent, const char* caption, const char* id, const QRect& rect) {
    auto* button = place(parent, new QPushButton(QString::fromUtf8(caption)), id, rect);
    button->setAutoDefault(false);
    return button;
}

// The boxes keep "\r\n" texts as produced; Qt's editors break lines at "\n".
inline QString toDisplay(const std::string& text) {
    return QString::fromLocal8Bit(text.c_str()).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}
