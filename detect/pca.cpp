#include "pca.h"

#include <cmath>

namespace {

constexpr double kConvergence = 1e-6;
constexpr double kNegligible = 1e-16;
constexpr int kMaxSweeps = 100;

double* rowOf(Matrix* a, int i) { return a->m + i * a->cols; }

void swapRows(Matrix* a, int r1, int r2) {
    double* p = rowOf(a, r1);
    double* q = rowOf(a, r2);
    for (int j = 0; j < a->cols; ++j) {
        const double t = p[j];
        p[j] = q[j];
        q[j] = t;
    }
}

// Off-diagonal f[j] is negligible against its two diagonal neighbours.
bool offDiagonalVanishes(const double* d, const double* f, int j) {
    return std::fabs(f[j]) <= kConvergence * (std::fabs(d[j - 1]) + std::fabs(d[j]));
}

// Reduces rows h-1, h of the tridiagonal block starting at j by one shifted
// sweep of plane rotations, each one chasing the bulge of the previous one
// down the diagonal. The rows of a follow every rotation.
void rotationSweep(Matrix* a, double* d, double* f, int j, int h) {
    const double w = (d[h - 1] - d[h]) / 2;
    const double q = f[h] * f[h];
    double r = std::sqrt(w * w + q);
    if (w < 0) r = -r;
    double x = d[j] - d[h] + q / (w + r);
    double y = f[j + 1];
    for (int k = j; k < h; ++k) {
        double c, s;
        if (std::fabs(x) >= std::fabs(y)) {
            if (std::fabs(x) > kNegligible) {
                const double t = -y / x;
                c = 1 / std::sqrt(t * t + 1);
                s = t * c;
            } else {
                c = 1.0;
                s = 0.0;
            }
        } else {
            const double t = -x / y;
            s = 1 / std::sqrt(t * t + 1);
            c = t * s;
        }
        const double g = d[k] - d[k + 1];
        const double t = s * (s * g + 2 * c * f[k + 1]);
        d[k] = d[k] - t;
        d[k + 1] = d[k + 1] + t;
        if (k > j) f[k] = c * f[k] - s * y;
        f[k + 1] = f[k + 1] + s * (c * g - 2 * s * f[k + 1]);

        double* rowK = rowOf(a, k);
        double* rowNext = rowOf(a, k + 1);
        for (int i = 0; i < a->cols; ++i) {
            const double u = rowK[i];
            const double v = rowNext[i];
            rowK[i] = c * u - s * v;
            rowNext[i] = s * u + c * v;
        }
        if (k < h - 1) {
            x = f[k + 1];
            y = -s * f[k + 2];
            f[k + 2] = c * f[k + 2];
        }
    }
}

// Selection sort by decreasing eigenvalue; only a strictly larger later value
// displaces the current best, so equal eigenvalues keep their order.
void sortEigenpairs(Matrix* a, double* d) {
    const int n = a->rows;
    for (int i = 0; i < n - 1; ++i) {
        int best = i;
        for (int q = i + 1; q < n; ++q) {
            if (d[q] > d[best]) best = q;
        }
        const double t = d[i];
        d[i] = d[best];
        d[best] = t;
        swapRows(a, i, best);
    }
}

// u is k x k with k = min(n, m): the smaller of w w^T and w^T w, which share
// their non-zero eigenvalues.
void crossProduct(const Matrix* w, Matrix* u) {
    const int n = w->rows;
    const int m = w->cols;
    const int k = u->rows;
    for (int i = 0; i < k; ++i) {
        for (int j = i; j < k; ++j) {
            double sum = 0.0;
            if (n < m) {
                for (int c = 0; c < m; ++c) sum += at(w, i, c) * at(w, j, c);
            } else {
                for (int r = 0; r < n; ++r) sum += at(w, r, i) * at(w, r, j);
            }
            at(u, i, j) = sum;
            at(u, j, i) = sum;
        }
    }
}

int principalAxes(const Matrix* w, Matrix* evec, Vector* ev) {
    const int n = w->rows;
    const int m = w->cols;
    const int k = ev->len;
    Matrix* u = allocMatrix(k, k);
    if (u == nullptr) return -1;
    crossProduct(w, u);
    if (symmetricEigen(u, ev) < 0) {
        freeMatrix(u);
        return -1;
    }

    int i = 0;
    for (; i < k && ev->v[i] >= kNegligible; ++i) {
        double* axis = rowOf(evec, i);
        if (n >= m) {
            for (int j = 0; j < m; ++j) axis[j] = at(u, i, j);
        } else {
            // The eigenvector of w w^T mapped back through w and normalised.
            const double norm = std::sqrt(std::fabs(ev->v[i]));
            for (int j = 0; j < m; ++j) {
                double sum = 0.0;
                for (int r = 0; r < n; ++r) sum += at(u, i, r) * at(w, r, j);
                axis[j] = sum / norm;
            }
        }
    }
    for (; i < k; ++i) {
        ev->v[i] = 0.0;
        double* axis = rowOf(evec, i);
        for (int j = 0; j < m; ++j) axis[j] = 0.0;
    }
    freeMatrix(u);
    return 0;
}

} // namespace

double innerProduct(const VectorView& a, const VectorView& b) {
    const int len = a.len < b.len ? a.len : b.len;
    double sum = 0.0;
    for (int i = 0; i < len; ++i) sum += a.v[i] * b.v[i];
    return sum;
}

double householderVector(VectorView x) {
    double s = std::sqrt(innerProduct(x, x));
    if (s == 0.0) return 0.0;
    // Adding with the sign of x[0] avoids cancellation in x[0] + s.
    if (x.v[0] < 0) s = -s;
    x.v[0] += s;
    const double scale = std::sqrt(s * x.v[0]);
    for (int i = 0; i < x.len; ++i) x.v[i] = x.v[i] / scale;
    return -s;
}

int tridiagonalise(Matrix* a, Vector* d, VectorView e) {
    const int n = a->rows;
    if (a->cols != n || d->len != n || e.len != n - 1) return -1;
    double* dv = d->v;

    for (int j = 0; j < n - 2; ++j) {
        double* p = rowOf(a, j);
        dv[j] = p[j];
        const VectorView reflector{p + j + 1, n - j - 1};
        e.v[j] = householderVector(reflector);
        if (e.v[j] == 0.0) continue;

        // d[j+1..] holds the product of the trailing block (upper triangle
        // only) with the reflector until the block is updated.
        for (int k = j + 1; k < n; ++k) {
            double sum = 0.0;
            for (int l = j + 1; l < k; ++l) sum += at(a, l, k) * p[l];
            for (int l = k; l < n; ++l) sum += at(a, k, l) * p[l];
            dv[k] = sum;
        }
        const double t = innerProduct(reflector, VectorView{dv + j + 1, n - j - 1});
        // Descending, so that every d[q] with q > l is final when row l uses it.
        for (int l = n - 1; l > j; --l) {
            dv[l] = dv[l] - t / 2 * p[l];
            double* row = rowOf(a, l);
            for (int q = l; q < n; ++q) row[q] = row[q] - (dv[l] * p[q] + dv[q] * p[l]);
        }
    }
    if (n > 1) {
        dv[n - 2] = at(a, n - 2, n - 2);
        e.v[n - 2] = at(a, n - 2, n - 1);
    }
    if (n > 0) dv[n - 1] = at(a, n - 1, n - 1);

    // Turn the stored reflectors into the orthogonal transform, last first.
    for (int i = n - 1; i >= 0; --i) {
        double* p = rowOf(a, i);
        if (i < n - 2) {
            const VectorView reflector{p + i + 1, n - i - 1};
            for (int k = i + 1; k < n; ++k) {
                double* row = rowOf(a, k);
                const double t = innerProduct(reflector, VectorView{row + i + 1, n - i - 1});
                for (int l = i + 1; l < n; ++l) row[l] = row[l] - t * p[l];
            }
        }
        for (int l = 0; l < n; ++l) p[l] = 0.0;
        p[i] = 1.0;
    }
    return 0;
}

int symmetricEigen(Matrix* a, Vector* d) {
    const int n = a->rows;
    if (n < 2 || a->cols != n || d->len != n) return -1;
    Vector* work = allocVector(n);
    if (work == nullptr) return -1;
    double* f = work->v;
    if (tridiagonalise(a, d, VectorView{f + 1, n - 1}) < 0) {
        freeVector(work);
        return -1;
    }
    f[0] = 0.0;
    double* dv = d->v;

    for (int h = n - 1; h > 0; --h) {
        int j = h;
        while (j > 0 && !offDiagonalVanishes(dv, f, j)) --j;
        if (j == h) continue;
        for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
            rotationSweep(a, dv, f, j, h);
            if (offDiagonalVanishes(dv, f, h)) break;
        }
    }
    sortEigenpairs(a, dv);
    freeVector(work);
    return 0;
}

int principalComponents(const Matrix* x, Matrix* evec, Vector* ev, Vector* mean) {
    const int n = x->rows;
    const int m = x->cols;
    if (n < 2 || m < 2) return -1;
    const int k = n < m ? n : m;
    if (evec->rows != k || evec->cols != m || ev->len != k || mean->len != m) return -1;

    Matrix* w = dupMatrix(x);
    if (w == nullptr) return -1;
    for (int j = 0; j < m; ++j) {
        double sum = 0.0;
        for (int i = 0; i < n; ++i) sum += at(w, i, j);
        mean->v[j] = sum / n;
    }
    const double root = std::sqrt(static_cast<double>(n));
    for (int i = 0; i < n; ++i) {
        double* row = rowOf(w, i);
        for (int j = 0; j < m; ++j) row[j] = (row[j] - mean->v[j]) / root;
    }
    int result = principalAxes(w, evec, ev);
    freeMatrix(w);

    double total = 0.0;
    for (int i = 0; i < k; ++i) total += ev->v[i];
    if (total == 0.0) {
        // Identical observations span no axis: every share is 0 and the
        // caller is told there is no principal direction to use.
        for (int i = 0; i < k; ++i) ev->v[i] = 0.0;
        return -1;
    }
    for (int i = 0; i < k; ++i) ev->v[i] = ev->v[i] / total;
    return result;
}
