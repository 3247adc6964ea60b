#pragma once
// The detector's small dense linear algebra on heap records.

struct Matrix {
    double* m; // rows x cols, row-major
    int rows;
    int cols;
};

struct Vector {
    double* v;
    int len;
};

Matrix* allocMatrix(int rows, int cols);
int freeMatrix(Matrix* a);
Vector* allocVector(int len);
int freeVector(Vector* v);
Matrix* dupMatrix(const Matrix* a);
// dest = a b; -1 on a shape mismatch (dest untouched). dest must not alias a or b.
int multiplyMatrix(Matrix* dest, const Matrix* a, const Matrix* b);
// Gauss-Jordan with partial pivoting; -1 when a pivot is not above 1e-10.
int invertMatrixInPlace(Matrix* a);

inline double& at(Matrix* a, int r, int c) { return a->m[r * a->cols + c]; }
inline double at(const Matrix* a, int r, int c) { return a->m[r * a->cols + c]; }
