#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>
#include <random>

#include "matrix.h"
#include "builders.h"

namespace {

void expectIdentityProduct(const Matrix* a, const Matrix* inverse, double tolerance) {
    Matrix* product = allocMatrix(a->rows, a->cols);
    ASSERT_EQ(0, multiplyMatrix(product, a, inverse));
    for (int i = 0; i < a->rows; ++i)
        for (int j = 0; j < a->cols; ++j)
            EXPECT_NEAR(i == j ? 1.0 : 0.0, at(product, i, j), tolerance) << i << "," << j;
    freeMatrix(product);
}

} // namespace

TEST(Matrix, ProductFollowsRowMajorLayout) {
    Matrix* a = makeMatrix(2, 3, {1, 2, 3, 4, 5, 6});
    Matrix* b = makeMatrix(3, 2, {7, 8, 9, 10, 11, 12});
    Matrix* dest = allocMatrix(2, 2);
    ASSERT_EQ(0, multiplyMatrix(dest, a, b));
    EXPECT_DOUBLE_EQ(58, at(dest, 0, 0));
    EXPECT_DOUBLE_EQ(64, at(dest, 0, 1));
    EXPECT_DOUBLE_EQ(139, at(dest, 1, 0));
    EXPECT_DOUBLE_EQ(154, at(dest, 1, 1));
    freeMatrix(a);
    freeMatrix(b);
    freeMatrix(dest);
}

TEST(Matrix, ProductRefusesMismatchedShapesWithoutWriting) {
    Matrix* a = makeMatrix(2, 3, {1, 2, 3, 4, 5, 6});
    Matrix* b = makeMatrix(2, 3, {1, 2, 3, 4, 5, 6});
    Matrix* dest = makeMatrix(2, 3, {-1, -1, -1, -1, -1, -1});
    EXPECT_EQ(-1, multiplyMatrix(dest, a, b));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(-1.0, dest->m[i]);

    Matrix* square = makeMatrix(2, 2, {1, 2, 3, 4});
    Matrix* wrongDest = makeMatrix(3, 2, {0, 0, 0, 0, 0, 0});
    EXPECT_EQ(-1, multiplyMatrix(wrongDest, square, square));
    freeMatrix(a);
    freeMatrix(b);
    freeMatrix(dest);
    freeMatrix(square);
    freeMatrix(wrongDest);
}

TEST(Matrix, ProductRefusesDestinationSharingAnOperand) {
    Matrix* a = makeMatrix(2, 2, {1, 2, 3, 4});
    Matrix* b = makeMatrix(2, 2, {5, 6, 7, 8});
    EXPECT_EQ(-1, multiplyMatrix(a, a, b));
    EXPECT_EQ(-1, multiplyMatrix(b, a, b));
    EXPECT_EQ(1.0, a->m[0]);
    EXPECT_EQ(8.0, b->m[3]);
    freeMatrix(a);
    freeMatrix(b);
}

TEST(Matrix, DuplicateIsAnIndependentCopy) {
    Matrix* source = makeMatrix(3, 2, {1, 2, 3, 4, 5, 6});
    Matrix* copy = dupMatrix(source);
    ASSERT_NE(nullptr, copy);
    EXPECT_NE(source, copy);
    EXPECT_NE(source->m, copy->m);
    EXPECT_EQ(3, copy->rows);
    EXPECT_EQ(2, copy->cols);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(source->m[i], copy->m[i]);
    copy->m[4] = 99;
    EXPECT_EQ(5.0, source->m[4]);
    freeMatrix(source);
    freeMatrix(copy);
}

TEST(Matrix, AllocationRefusesNegativeSizes) {
    EXPECT_EQ(nullptr, allocMatrix(-1, 3));
    EXPECT_EQ(nullptr, allocVector(-2));
    Vector* v = allocVector(4);
    ASSERT_NE(nullptr, v);
    EXPECT_EQ(4, v->len);
    freeVector(v);
}

// Exact expectations where no rounding enters; elements are compared only
// when the inversion succeeds.
TEST(MatrixInverse, RefusalsPivotsAndExchanges) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        int rows, cols;
        std::vector<double> values;
        int result;
        std::vector<double> inverse;
    };
    const Case cases[] = {
        {"1 x 1: the reciprocal", 1, 1, {4}, 0, {0.25}},
        {"1 x 1 zero: no pivot test", 1, 1, {0}, 0, {inf}},
        {"empty", 0, 0, {}, -1, {}},
        {"not square", 2, 3, {1, 0, 0, 0, 1, 0}, -1, {}},
        {"exchange matrix: a row swap, its own inverse", 2, 2, {0, 1, 1, 0}, 0, {0, 1, 1, 0}},
        {"pivot of exactly 1e-10", 2, 2, {1, 0, 0, 1e-10}, -1, {}},
        {"pivot just above 1e-10", 2, 2, {1, 0, 0, 1.0000001e-10}, 0, {1, 0, 0, 1.0 / 1.0000001e-10}},
        {"singular", 3, 3, {1, 2, 3, 2, 4, 6, 1, 0, 1}, -1, {}},
        // Each step's pivot sits in a different row, so the column exchanges
        // at the end must undo a full cycle.
        {"permuted identity", 4, 4, {0, 0, 0, 2, 3, 0, 0, 0, 0, 4, 0, 0, 0, 0, 5, 0}, 0,
         {0, 1.0 / 3, 0, 0, 0, 0, 0.25, 0, 0, 0, 0, 0.2, 0.5, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        Matrix* a = allocMatrix(c.rows, c.cols);
        ASSERT_NE(nullptr, a) << c.what;
        std::copy(c.values.begin(), c.values.end(), a->m);
        EXPECT_EQ(c.result, invertMatrixInPlace(a)) << c.what;
        for (size_t i = 0; i < c.inverse.size() && c.result == 0; ++i) {
            if (std::isinf(c.inverse[i])) EXPECT_EQ(c.inverse[i], a->m[i]) << c.what;
            else EXPECT_NEAR(c.inverse[i], a->m[i], 1e-15 * std::fabs(c.inverse[i])) << c.what << ", element " << i;
        }
        freeMatrix(a);
    }
}

TEST(MatrixInverse, TimesOriginalIsIdentityForRandomMatrices) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> value(-10.0, 10.0);
    for (int n : {2, 3, 5, 8, 13}) {
        for (int trial = 0; trial < 20; ++trial) {
            Matrix* a = allocMatrix(n, n);
            for (int i = 0; i < n * n; ++i) a->m[i] = value(rng);
            Matrix* inverse = dupMatrix(a);
            ASSERT_EQ(0, invertMatrixInPlace(inverse));
            expectIdentityProduct(a, inverse, 1e-8);
            expectIdentityProduct(inverse, a, 1e-8);
            freeMatrix(a);
            freeMatrix(inverse);
        }
    }
}
