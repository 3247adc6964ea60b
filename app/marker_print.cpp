#include "marker_print.h"
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <QBuffer>
#include <QFileInfo>
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
// A chessboard uses the page more fully: white beyond its outer squares and
// room for its note under it.
constexpr double kBoardMarginMm = 10.0;
constexpr double kBoardNoteMm = 22.0;
// White paper beyond the black square on each side, in square widths: the
// same quarter as the printable image and the renderer's default.
constexpr double kWhiteBorder = 0.25;

QImage toQImage(const cv::Mat& bgr) {
    return QImage(bgr.data, bgr.cols, bgr.rows, static_cast<int>(bgr.step), QImage::Format_BGR888).copy();
}

// The bytes written to `path` whole: Qt's writers report success on a full
// disk, so the file is made here, where every write and the close are checked.
bool writeWholeFile(const std::string& path, const QByteArray& bytes, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), file) ==
                             static_cast<size_t>(bytes.size()) &&
                         std::fflush(file) == 0;
    const int savedErrno = errno;
    if (std::fclose(file) == 0 && written) return true;
    error = "cannot write " + path + ": " + std::strerror(written ? errno : savedErrno);
    // A cut file is no print; a device or a link is not ours to remove.
    std::error_code ignored;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ignored))) std::remove(path.c_str());
    return false;
}

// Fonts need a GUI application; the offscreen platform needs no display.
void ensureGuiApplication() {
    if (QGuiApplication::instance()) return;
    static int argc = 3;
    static char arg0[] = "quillmark", arg1[] = "-platform", arg2[] = "offscreen";
    static char* argv[] = {arg0, arg1, arg2, nullptr};
    // Kept to the end of the process and never destroyed: a static
    // application torn down after main returns leaves Qt's screens behind.
    static QGuiApplication* application = new QGuiApplication(argc, argv);
    (void)application;
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

QPageSize pageSizeOf(PaperSize paper) { return QPageSize(paper == PaperSize::A4 ? QPageSize::A4 : QPageSize::Letter); }

std::string paperName(PaperSize paper) { return paper == PaperSize::A4 ? "A4" : "letter"; }

// Room for a drawing of this size below the top margin, with the note under it.
bool fitsOnPage(double widthMm, double heightMm, const QSizeF& page) {
    return widthMm <= page.width() - 2 * kSideMarginMm && kTopMarginMm + heightMm + 40 <= page.height();
}

// One page of `paper` written to `path`; `draw` paints on it in device
// units, `unit` of them to the millimetre.
bool writePdfPage(const std::string& path, PaperSize paper, const std::string& title, std::string& error,
                  const std::function<void(QPainter&, double unit)>& draw) {
    ensureGuiApplication();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    writer.setPageSize(pageSizeOf(paper));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
    writer.setResolution(kPdfDpi);
    writer.setTitle(QString::fromStdString(title));
    writer.setCreator(QStringLiteral("quillmark"));
    QPainter painter;
    if (!painter.begin(&writer)) {
        error = "cannot write " + path;
        return false;
    }
    draw(painter, kPdfDpi / kMmPerInch);
    if (!painter.end()) {
        error = "cannot write " + path;
        return false;
    }
    return writeWholeFile(path, bytes, error);
}

// Centred lines of text from `topMm` down.
void drawNote(QPainter& painter, double unit, const QSizeF& page, double topMm, const QString& text) {
    painter.setPen(Qt::black);
    QFont font(QStringLiteral("Sans"));
    font.setPointSizeF(11);
    painter.setFont(font);
    const QRectF box(kSideMarginMm * unit, topMm * unit, (page.width() - 2 * kSideMarginMm) * unit, 30 * unit);
    painter.drawText(box, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, text);
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
    const QSizeF page = pageSizeOf(paper).size(QPageSize::Millimeter);
    const double border = widthMm * kWhiteBorder, whiteMm = widthMm + 2 * border;
    if (!fitsOnPage(whiteMm, whiteMm, page)) {
        error = "a marker " + std::to_string(static_cast<int>(std::lround(widthMm))) +
                " mm wide with its white border does not fit on one " + paperName(paper) + " page";
        return false;
    }
    const double left = (page.width() - widthMm) / 2, top = kTopMarginMm + border;
    const QString note =
        QStringLiteral("%1: the black square is %2 mm wide\n"
                       "Print at 100 % (actual size, no scaling or fit to page) and check the width with a ruler.\n"
                       "Keep the white border inside the dashed line free of other marks.")
            .arg(QString::fromStdString(name), QString::number(widthMm, 'g', 6));
    return writePdfPage(path, paper, name, error, [&](QPainter& painter, double unit) {
        drawMarker(painter, pattern, QRectF(left * unit, top * unit, widthMm * unit, widthMm * unit));
        // A light outline of the white border that must stay around the square.
        painter.setPen(QPen(QColor(190, 190, 190), 0.2 * unit, Qt::DashLine));
        painter.drawRect(QRectF((left - border) * unit, (top - border) * unit, whiteMm * unit, whiteMm * unit));
        drawNote(painter, unit, page, top + widthMm + border + 6, note);
    });
}

bool writeMarkerGridPdf(const std::vector<cv::Mat>& patterns, int cols, int rows, double widthMm, double gapMm,
                        const std::string& title, const std::string& caption, PaperSize paper,
                        const std::string& path, std::string& error) {
    const QSizeF page = pageSizeOf(paper).size(QPageSize::Millimeter);
    const double border = widthMm * kWhiteBorder;
    const double gridW = cols * widthMm + (cols - 1) * gapMm, gridH = rows * widthMm + (rows - 1) * gapMm;
    if (!fitsOnPage(gridW + 2 * border, gridH + 2 * border, page)) {
        error = "a board of " + std::to_string(cols) + " x " + std::to_string(rows) + " markers " +
                QString::number(widthMm, 'g', 6).toStdString() + " mm wide, " +
                QString::number(gapMm, 'g', 6).toStdString() + " mm apart, with its white border does not fit on one " +
                paperName(paper) + " page";
        return false;
    }
    const double left = (page.width() - gridW) / 2, top = kTopMarginMm + border;
    const QString note = QString::fromStdString(caption) +
                         QStringLiteral("\nPrint at 100 % (actual size, no scaling or fit to page) and check the widths "
                                        "and gaps with a ruler. Fix the sheet flat.");
    return writePdfPage(path, paper, title, error, [&](QPainter& painter, double unit) {
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c)
                drawMarker(painter, patterns[static_cast<size_t>(r * cols + c)],
                           QRectF((left + c * (widthMm + gapMm)) * unit, (top + r * (widthMm + gapMm)) * unit,
                                  widthMm * unit, widthMm * unit));
        painter.setPen(QPen(QColor(190, 190, 190), 0.2 * unit, Qt::DashLine));
        painter.drawRect(QRectF((left - border) * unit, (top - border) * unit, (gridW + 2 * border) * unit,
                                (gridH + 2 * border) * unit));
        drawNote(painter, unit, page, top + gridH + border + 6, note);
    });
}

bool writeChessboardPdf(int cols, int rows, double squareMm, PaperSize paper, const std::string& path,
                        std::string& error) {
    const QSizeF page = pageSizeOf(paper).size(QPageSize::Millimeter);
    // The page's own margins are the white the corner finder needs around
    // the board. A board too wide for the page is drawn turned a quarter,
    // its longer side down the page: the finder takes it either way.
    const auto fits = [&](int squaresAcross, int squaresDown) {
        return squaresAcross * squareMm <= page.width() - 2 * kBoardMarginMm &&
               kBoardMarginMm + squaresDown * squareMm + kBoardNoteMm <= page.height();
    };
    const int across = fits(cols + 1, rows + 1) ? cols : rows;
    const int down = across == cols ? rows : cols;
    if (!fits(across + 1, down + 1)) {
        error = "a " + std::to_string(cols) + "x" + std::to_string(rows) + " board of " +
                QString::number(squareMm, 'g', 6).toStdString() + " mm squares does not fit on one " +
                paperName(paper) + " page";
        return false;
    }
    const double left = (page.width() - (across + 1) * squareMm) / 2, top = kBoardMarginMm;
    const QString size = QString::number(squareMm, 'g', 6);
    const QString note = QStringLiteral("Chessboard of %1x%2 inner corners, squares %3 mm: "
                                        "quillmark calibrate --board %1x%2 --square %3\n"
                                        "Print at 100 % (actual size), measure a square with a ruler and give that "
                                        "to --square. Fix the board flat.")
                             .arg(cols)
                             .arg(rows)
                             .arg(size);
    return writePdfPage(path, paper, "Chessboard", error, [&](QPainter& painter, double unit) {
        for (int r = 0; r <= down; ++r)
            for (int c = 0; c <= across; ++c)
                if ((r + c) % 2 == 0)
                    painter.fillRect(QRectF((left + c * squareMm) * unit, (top + r * squareMm) * unit,
                                            squareMm * unit, squareMm * unit),
                                     Qt::black);
        drawNote(painter, unit, page, top + (down + 1) * squareMm + 4, note);
    });
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
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    const QByteArray format = QFileInfo(QString::fromStdString(path)).suffix().toLower().toLatin1();
    if (!image.save(&buffer, format.constData())) {
        error = "cannot write " + path + " (PNG, BMP or JPEG)";
        return false;
    }
    return writeWholeFile(path, bytes, error);
}
