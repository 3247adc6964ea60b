#include "least_squares.h"
#include <algorithm>
#include <cmath>

namespace {

double sumOfSquares(const std::vector<double>& v) {
    double sum = 0.0;
    for (const double e : v) sum += e * e;
    return sum;
}

// Solves the symmetric positive definite n x n system A x = b (row-major)
// by Cholesky; false when A is not positive definite.
bool solveCholesky(std::vector<double> A, std::vector<double> b, int n, std::vector<double>& x) {
    for (int j = 0; j < n; ++j) {
        double d = A[j * n + j];
        for (int k = 0; k < j; ++k) d -= A[j * n + k] * A[j * n + k];
        if (!(d > 0.0)) return false;
        const double root = std::sqrt(d);
        A[j * n + j] = root;
        for (int i = j + 1; i < n; ++i) {
            double s = A[i * n + j];
            for (int k = 0; k < j; ++k) s -= A[i * n + k] * A[j * n + k];
            A[i * n + j] = s / root;
        }
    }
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < i; ++k) b[i] -= A[i * n + k] * b[k];
        b[i] /= A[i * n + i];
    }
    for (int i = n - 1; i >= 0; --i) {
        for (int k = i + 1; k < n; ++k) b[i] -= A[k * n + i] * b[k];
        b[i] /= A[i * n + i];
    }
    x = std::move(b);
    return true;
}

} // namespace

double fitLeastSquares(const ResidualFunction& residualsOf, std::vector<double>& params, int maxIterations) {
    const int n = static_cast<int>(params.size());
    std::vector<double> r, trial;
    residualsOf(params, r);
    const int m = static_cast<int>(r.size());
    double cost = sumOfSquares(r);
    if (!std::isfinite(cost)) return cost;
    double lambda = 1e-3;
    std::vector<double> J(static_cast<size_t>(m) * n), JtJ(static_cast<size_t>(n) * n), Jtr(n), step;
    std::vector<double> moved = params;
    for (int it = 0; it < maxIterations && cost > 0.0; ++it) {
        for (int j = 0; j < n; ++j) {
            const double h = 1e-6 * std::max(1.0, std::fabs(params[j]));
            moved[j] = params[j] + h;
            residualsOf(moved, trial);
            moved[j] = params[j];
            for (int i = 0; i < m; ++i) J[static_cast<size_t>(i) * n + j] = (trial[i] - r[i]) / h;
        }
        std::fill(JtJ.begin(), JtJ.end(), 0.0);
        std::fill(Jtr.begin(), Jtr.end(), 0.0);
        for (int i = 0; i < m; ++i) {
            const double* row = &J[static_cast<size_t>(i) * n];
            for (int a = 0; a < n; ++a) {
                Jtr[a] -= row[a] * r[i];
                for (int b = 0; b <= a; ++b) JtJ[a * n + b] += row[a] * row[b];
            }
        }
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < a; ++b) JtJ[b * n + a] = JtJ[a * n + b];
        bool improved = false;
        while (!improved && lambda < 1e12) {
            std::vector<double> A = JtJ;
            // A parameter the residuals do not feel is held by the damping alone.
            for (int j = 0; j < n; ++j) A[j * n + j] = A[j * n + j] > 0.0 ? A[j * n + j] * (1.0 + lambda) : lambda;
            if (!solveCholesky(std::move(A), Jtr, n, step)) {
                lambda *= 10;
                continue;
            }
            std::vector<double> next = params;
            for (int j = 0; j < n; ++j) next[j] += step[j];
            residualsOf(next, trial);
            const double nextCost = sumOfSquares(trial);
            if (std::isfinite(nextCost) && nextCost < cost) {
                const bool converged = cost - nextCost < 1e-12 * cost;
                params = next;
                moved = next;
                r.swap(trial);
                cost = nextCost;
                lambda = std::max(1e-9, lambda / 10);
                improved = true;
                if (converged) return cost;
            } else {
                lambda *= 10;
            }
        }
        if (!improved) break;
    }
    return cost;
}
