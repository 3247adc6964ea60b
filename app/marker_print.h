#pragma once
// Printable markers at their true size: a PDF page whose black square is
// exactly the catalogue width, or an image whose stored resolution makes it
// print at that width at 100 %.
#include <string>
#include <vector>
#include <opencv2/core.hpp>

enum class PaperSize { A4, Letter };

// Page size by name ("a4", "letter"); false for any other.
bool paperSizeByName(const std::string& name, PaperSize& paper);

// The marker's black square is widthMm wide, centred near the top of the
// page, with its name and width under it and the note to print at 100 %.
// False with `error` set when it does not fit or the file cannot be written.
bool writeMarkerPdf(const cv::Mat& pattern, const std::string& name, double widthMm, PaperSize paper,
                    const std::string& path, std::string& error);

// A board of markers in a grid, patterns[r * cols + c] at row r and column
// c, their black squares widthMm wide with gapMm of paper between them and
// a quarter of a square of white round the whole; the caption under it,
// then the note to print at 100 %.
bool writeMarkerGridPdf(const std::vector<cv::Mat>& patterns, int cols, int rows, double widthMm, double gapMm,
                        const std::string& title, const std::string& caption, PaperSize paper,
                        const std::string& path, std::string& error);

// A calibration chessboard of cols x rows inner corners, squares exactly
// squareMm wide, with the calibrate command that fits it printed under it.
bool writeChessboardPdf(int cols, int rows, double squareMm, PaperSize paper, const std::string& path,
                        std::string& error);

// The marker image (a quarter of the side of white all round) at `dpi`
// pixels per inch, the resolution stored in the file (PNG, BMP, JPEG).
bool writeMarkerImage(const cv::Mat& pattern, double widthMm, int dpi, const std::string& path,
                      std::string& error);
