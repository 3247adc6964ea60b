#pragma once
// The detector's one non-linear least-squares fit, for the lens model's
// calibration and the pose's final polish: Levenberg-Marquardt with a
// forward-difference Jacobian and dense normal equations. Both problems are
// small (six to a few hundred parameters), and the pose's runs per marker and
// frame: OpenCV's cv::LMSolver, tried here, gave the same fits but made the
// pose's polish three times as costly (an SVD and several matrix objects per
// step), a third more per frame with sub-pixel corners.
#include <functional>
#include <vector>

// The residuals at `params`; their number must not change between calls.
using ResidualFunction = std::function<void(const std::vector<double>& params, std::vector<double>& residuals)>;

// Lowers the sum of squared residuals from `params`, which become the fit,
// in at most `maxIterations` steps, stopping early once a step gains less
// than 1e-12 of the sum. Each parameter's difference step is 1e-6 of its
// size, at least 1e-6: give the parameters units in which that is a small
// but telling change. The final sum of squares (not finite when the
// residuals at the start are not).
double fitLeastSquares(const ResidualFunction& residualsOf, std::vector<double>& params, int maxIterations);
