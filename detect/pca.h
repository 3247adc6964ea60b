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
int principalComponents(const Matrix* x, Matrix* evec, Vector* ev, Vector* mean);
