#include "marker_print.h"
#include <cmath>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include "render.h"

namespace {

constexpr double kMmPerInch = 25.4;
// Device units of the PDF: fine enough that rounding the square's edges
// to them moves each by at most 0.01 mm.
constexpr int kPdfDpi = 2400;
constexpr double kTopMarginMm = 25.0;
constexpr double kSideMarginMm = 12.0;
// White paper beyond the black square on each side, in square widths: the
// same quarter as the printable image and the renderer's default.
constexpr double kWhiteBorder = 0.25;

QImage toQImage(const cv::Mat& bgr) {
    return QImage(bgr.data, bgr.cols, bgr.rows, static_cast<int>(bgr.step), QImage::Format_BGR888).copy();
}

// Fonts need a GUI application; the offscreen platform needs no display.
void ensureGuiApplication() {
    if (QGuiApplication::instance()) return;
    static int argc = 3;
    static char arg0[] = "quillmark", arg1[] = "-platform", arg2[] = "offscreen";
    static char* argv[] = {arg0, arg1, arg2, nullptr};
    static QGuiApplication application(argc, argv);
}

// The pattern's 16 x 16 cells in the inner half of the square, row 0 at
// the top, as the detector samples it and the renderer draws it.
void drawMarker(QPainter& painter, const cv::Mat& pattern, const QRectF& square) {
    painter.fillRect(square, Qt::black);
    const double inner = square.width() / 2, cell = inner / pattern.cols;
    const QPointF origin = square.topLeft() + QPointF(inner / 2, inner / 2);
    for (int row = 0; row < pattern.rows; ++row)
        for (int column = 0; column < pattern.cols; ++column) {
            const cv::Vec3b v = pattern.at<cv::Vec3b>(row, column);
            // Cells overlap their right and lower neighbours by a hair, so
            // no seam of the black below shows between them.
            painter.fillRect(QRectF(origin.x() + column * cell, origin.y() + row * cell, cell * 1.02, cell * 1.02)
                                 .intersected(QRectF(origin, QSizeF(inner, inner))),
                             QColor(v[2], v[1], v[0]));
        }
}

} // namespace

bool paperSizeByName(const std::string& name, PaperSize& paper) {
    if (name == "a4") paper = PaperSize::A4;
    else if (name == "letter") paper = PaperSize::Letter;
    else return false;
    return true;
}

bool writeMarkerPdf(const cv::Mat& pattern, const std::string& name, double widthMm, PaperSize paper,
                    const std::string& path, std::string& error) {
    ensureGuiApplication();
    const QPageSize pageSize(paper == PaperSize::A4 ? QPageSize::A4 : QPageSize::Letter);
    const QSizeF page = pageSize.size(QPageSize::Millimeter);
    const double whiteMm = widthMm * (1 + 2 * kWhiteBorder);
    if (whiteMm > page.width() - 2 * kSideMarginMm || whiteMm + kTopMarginMm + 40 > page.height()) {
        error = "a marker " + std::to_string(static_cast<int>(std::lround(widthMm))) + " mm wide with its white border does not fit on one " +
                (paper == PaperSize::A4 ? "A4" : "letter") + " page";
        return false;
    }
    QPdfWriter writer(QString::fromStdString(path));
    writer.setPageSize(pageSize);
    writer.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
    writer.setResolution(kPdfDpi);
    writer.setTitle(QString::fromStdString(name));
    writer.setCreator(QStringLiteral("quillmark marker"));
    QPainter painter;
    if (!painter.begin(&writer)) {
        error = "cannot write " + path;
        return false;
    }
    const double unit = kPdfDpi / kMmPerInch; // device units per millimetre
    const double left = (page.width() - widthMm) / 2, top = kTopMarginMm + widthMm * kWhiteBorder;
    drawMarker(painter, pattern, QRectF(left * unit, top * unit, widthMm * unit, widthMm * unit));

    // A light outline of the white border that must stay around the square.
    painter.setPen(QPen(QColor(190, 190, 190), 0.2 * unit, Qt::DashLine));
    const double border = widthMm * kWhiteBorder;
    painter.drawRect(QRectF((left - border) * unit, (top - border) * unit, whiteMm * unit, whiteMm * unit));

    painter.setPen(Qt::black);
    QFont font(QStringLiteral("Sans"));
    font.setPointSizeF(12);
    painter.setFont(font);
    const QRectF textBox(kSideMarginMm * unit, (top + widthMm + border + 6) * unit,
                         (page.width() - 2 * kSideMarginMm) * unit, 30 * unit);
    const QString text =
        QStringLiteral("%1: the black square is %2 mm wide\n"
                       "Print at 100 % (actual size, no scaling or fit to page) and check the width with a ruler.\n"
                       "Keep the white border inside the dashed line free of other marks.")
            .arg(QString::fromStdString(name), QString::number(widthMm, 'g', 6));
    painter.drawText(textBox, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, text);
    if (!painter.end()) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool writeMarkerImage(const cv::Mat& pattern, double widthMm, int dpi, const std::string& path,
                      std::string& error) {
    const int side = static_cast<int>(std::lround(widthMm / kMmPerInch * dpi));
    if (side < 32 || side > 20000) {
        error = "a marker " + std::to_string(widthMm) + " mm wide at " + std::to_string(dpi) +
                " dpi would be " + std::to_string(side) + " pixels; choose a dpi that gives 32 to 20000";
        return false;
    }
    QImage image = toQImage(renderMarkerImage(pattern, side, static_cast<int>(std::lround(side * kWhiteBorder))));
    const int dotsPerMetre = static_cast<int>(std::lround(dpi / kMmPerInch * 1000));
    image.setDotsPerMeterX(dotsPerMetre);
    image.setDotsPerMeterY(dotsPerMetre);
    if (!image.save(QString::fromStdString(path))) {
        error = "cannot write " + path + " (PNG, BMP or JPEG)";
        return false;
    }
    return true;
}
