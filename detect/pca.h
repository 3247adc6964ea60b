#pragma once
// Principal component analysis by Householder tridiagonalisation and shifted
// rotation sweeps. The rotation sequence fixes the eigenvector signs that the
// fitted edge lines inherit.
#include "matrix.h"

// A non-owning view of `len` doubles inside another record.
struct VectorView {
    double* v;
    int len;
};

double innerProduct(const VectorView& a, const VectorView& b);
double householderVector(VectorView x);
int tridiagonalise(Matrix* a, Vector* d, VectorView e);
int symmetricEigen(Matrix* a, Vector* d);
// x: n observations (rows) of m values, n and m at least 2; evec k x m and ev
// of length k = min(n, m); mean of length m. Rows of evec are the axes,
// largest first; ev their shares of the total. -1 on a shape mismatch, when
// memory runs out, or when the observations are all identical (no axis; ev
// all 0).
int principalComponents(const Matrix* x, Matrix* evec, Vector* ev, Vector* mean);
