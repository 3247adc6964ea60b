#pragma once
// The detector's one non-linear least-squares fit, for the lens model's
// calibration and the pose's final polish: OpenCV's Levenberg-Marquardt
// with a forward-difference Jacobian.
#include <functional>
#include <vector>

// The residuals at `params`; their number must not change between calls.
using ResidualFunction = std::function<void(const std::vector<double>& params, std::vector<double>& residuals)>;

// Lowers the sum of squared residuals from `params`, which become the fit,
// in at most `maxIterations` steps. Each parameter's difference step is 1e-6
// of its size, at least 1e-6: give the parameters units in which that is a
// small but telling change. The final sum of squares (not finite when the
// residuals are not).
double fitLeastSquares(const ResidualFunction& residualsOf, std::vector<double>& params, int maxIterations);
