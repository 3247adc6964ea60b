#include "matrix.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>

namespace {

// The exchange record of the inverse is a fixed table; the detector inverts
// only 3 x 3 and 8 x 8 matrices.
constexpr int kMaxInverseDimension = 50;
constexpr double kMinPivot = 1e-10;

// Element blocks are never empty, so a 0 x n record still owns a valid pointer.
double* allocElements(int rows, int cols) {
    if (rows < 0 || cols < 0) return nullptr;
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    return new (std::nothrow) double[count > 0 ? count : 1];
}

void swapRows(Matrix* a, int r1, int r2) {
    double* p = a->m + r1 * a->cols;
    double* q = a->m + r2 * a->cols;
    for (int j = 0; j < a->cols; ++j) {
        const double t = p[j];
        p[j] = q[j];
        q[j] = t;
    }
}

void swapColumns(Matrix* a, int c1, int c2) {
    for (int i = 0; i < a->rows; ++i) {
        double* row = a->m + i * a->cols;
        const double t = row[c1];
        row[c1] = row[c2];
        row[c2] = t;
    }
}

} // namespace

Matrix* allocMatrix(int rows, int cols) {
    Matrix* a = new (std::nothrow) Matrix;
    if (a == nullptr) return nullptr;
    a->m = allocElements(rows, cols);
    if (a->m == nullptr) {
        delete a;
        return nullptr;
    }
    a->rows = rows;
    a->cols = cols;
    return a;
}

int freeMatrix(Matrix* a) {
    if (a == nullptr) return 0;
    delete[] a->m;
    delete a;
    return 0;
}

Vector* allocVector(int len) {
    Vector* v = new (std::nothrow) Vector;
    if (v == nullptr) return nullptr;
    v->v = allocElements(1, len);
    if (v->v == nullptr) {
        delete v;
        return nullptr;
    }
    v->len = len;
    return v;
}

int freeVector(Vector* v) {
    if (v == nullptr) return 0;
    delete[] v->v;
    delete v;
    return 0;
}

Matrix* dupMatrix(const Matrix* a) {
    Matrix* copy = allocMatrix(a->rows, a->cols);
    if (copy == nullptr) return nullptr;
    std::memcpy(copy->m, a->m, sizeof(double) * static_cast<std::size_t>(a->rows) * a->cols);
    return copy;
}

int multiplyMatrix(Matrix* dest, const Matrix* a, const Matrix* b) {
    if (a->cols != b->rows || dest->rows != a->rows || dest->cols != b->cols) return -1;
    // Accumulating into dest while reading a or b would read half-written sums.
    if (dest->m == a->m || dest->m == b->m) return -1;
    for (int i = 0; i < a->rows; ++i) {
        for (int j = 0; j < b->cols; ++j) {
            double& sum = at(dest, i, j);
            sum = 0.0;
            for (int k = 0; k < a->cols; ++k) sum += at(a, i, k) * at(b, k, j);
        }
    }
    return 0;
}

int invertMatrixInPlace(Matrix* a) {
    const int n = a->rows;
    if (a->cols != n || n == 0 || n > kMaxInverseDimension) return -1;
    if (n == 1) {
        a->m[0] = 1.0 / a->m[0];
        return 0;
    }

    int exchange[kMaxInverseDimension];
    for (int i = 0; i < n; ++i) exchange[i] = i;

    for (int s = 0; s < n; ++s) {
        int pivotRow = s;
        double largest = 0.0;
        for (int i = s; i < n; ++i) {
            const double v = std::fabs(at(a, i, s));
            if (v > largest) {
                largest = v;
                pivotRow = i;
            }
        }
        if (!(largest > kMinPivot)) return -1;

        swapRows(a, s, pivotRow);
        const int t = exchange[s];
        exchange[s] = exchange[pivotRow];
        exchange[pivotRow] = t;

        double* pivotLine = a->m + s * n;
        const double pivot = pivotLine[s];
        for (int j = 0; j < n; ++j) pivotLine[j] = pivotLine[j] / pivot;
        pivotLine[s] = 1.0 / pivot;

        for (int i = 0; i < n; ++i) {
            if (i == s) continue;
            double* line = a->m + i * n;
            const double multiplier = line[s];
            for (int j = 0; j < n; ++j) {
                if (j != s) line[j] = line[j] - multiplier * pivotLine[j];
            }
            line[s] = -multiplier / pivot;
        }
    }

    // The rows were exchanged on the way, so the result is the inverse of the
    // permuted matrix; exchanging the matching columns undoes the permutation.
    for (int s = 0; s < n; ++s) {
        int k = s;
        while (exchange[k] != s) ++k;
        if (k == s) continue;
        exchange[k] = exchange[s];
        exchange[s] = s;
        swapColumns(a, s, k);
    }
    return 0;
}
