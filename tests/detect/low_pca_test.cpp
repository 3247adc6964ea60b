#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "pca.h"
#include "builders.h"

namespace {

const double kHalfRoot2 = std::sqrt(0.5);

Matrix* randomSymmetric(int n, std::mt19937& rng) {
    std::uniform_real_distribution<double> value(-5.0, 5.0);
    Matrix* a = allocMatrix(n, n);
    for (int i = 0; i < n; ++i)
        for (int j = i; j < n; ++j) at(a, i, j) = at(a, j, i) = value(rng);
    return a;
}

// Principal components of 2D points, as the edge fitting calls it.
struct PointFit {
    int result;
    double mean[2];
    double axis[2][2];
    double share[2];
};

PointFit fitPoints(const std::vector<std::pair<double, double>>& points) {
    const int n = static_cast<int>(points.size());
    Matrix* x = allocMatrix(n, 2);
    for (int i = 0; i < n; ++i) {
        at(x, i, 0) = points[i].first;
        at(x, i, 1) = points[i].second;
    }
    Matrix* evec = allocMatrix(2, 2);
    Vector* ev = allocVector(2);
    Vector* mean = allocVector(2);
    PointFit fit;
    fit.result = principalComponents(x, evec, ev, mean);
    for (int i = 0; i < 2; ++i) {
        fit.mean[i] = mean->v[i];
        fit.share[i] = ev->v[i];
        for (int j = 0; j < 2; ++j) fit.axis[i][j] = at(evec, i, j);
    }
    freeMatrix(x);
    freeMatrix(evec);
    freeVector(ev);
    freeVector(mean);
    return fit;
}

struct Eigen2 {
    double value[2];
    double row[2][2];
};

Eigen2 eigen2(double a00, double a01, double a11) {
    Matrix* a = makeMatrix(2, 2, {a00, a01, a01, a11});
    Vector* d = allocVector(2);
    EXPECT_EQ(0, symmetricEigen(a, d));
    Eigen2 out{{d->v[0], d->v[1]}, {{a->m[0], a->m[1]}, {a->m[2], a->m[3]}}};
    freeMatrix(a);
    freeVector(d);
    return out;
}

} // namespace

TEST(Householder, ReflectorFoldsTheVectorOntoItsFirstAxis) {
    double values[] = {3.0, 4.0};
    EXPECT_DOUBLE_EQ(-5.0, householderVector(VectorView{values, 2}));
    // x0 + s = 8, then both divided by sqrt(5 x 8).
    EXPECT_DOUBLE_EQ(8.0 / std::sqrt(40.0), values[0]);
    EXPECT_DOUBLE_EQ(4.0 / std::sqrt(40.0), values[1]);

    double negative[] = {-3.0, 4.0};
    EXPECT_DOUBLE_EQ(5.0, householderVector(VectorView{negative, 2}));
    EXPECT_DOUBLE_EQ(-8.0 / std::sqrt(40.0), negative[0]);

    double zero[] = {0.0, 0.0, 0.0};
    EXPECT_EQ(0.0, householderVector(VectorView{zero, 3}));
    EXPECT_EQ(0.0, zero[0]);
}

TEST(Tridiagonalise, TwoByTwoMakesNoReflection) {
    Matrix* a = makeMatrix(2, 2, {3, 1.5, 1.5, 7});
    Vector* d = allocVector(2);
    double e[1];
    ASSERT_EQ(0, tridiagonalise(a, d, VectorView{e, 1}));
    EXPECT_EQ(3.0, d->v[0]);
    EXPECT_EQ(7.0, d->v[1]);
    EXPECT_EQ(1.5, e[0]);
    EXPECT_EQ(1.0, a->m[0]);
    EXPECT_EQ(0.0, a->m[1]);
    EXPECT_EQ(0.0, a->m[2]);
    EXPECT_EQ(1.0, a->m[3]);
    freeMatrix(a);
    freeVector(d);
}

TEST(Tridiagonalise, TransformTakesTheMatrixToItsTridiagonalForm) {
    std::mt19937 rng(11);
    for (int n : {3, 4, 6}) {
        Matrix* original = randomSymmetric(n, rng);
        Matrix* q = dupMatrix(original);
        Vector* d = allocVector(n);
        std::vector<double> e(n - 1);
        ASSERT_EQ(0, tridiagonalise(q, d, VectorView{e.data(), n - 1}));
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
                double sum = 0.0; // (Q A Q^T)[i][j]
                for (int k = 0; k < n; ++k)
                    for (int l = 0; l < n; ++l) sum += at(q, i, k) * at(original, k, l) * at(q, j, l);
                double expected = 0.0;
                if (i == j) expected = d->v[i];
                if (j == i + 1) expected = e[i];
                if (i == j + 1) expected = e[j];
                EXPECT_NEAR(expected, sum, 1e-9) << n << ": " << i << "," << j;
            }
        }
        freeMatrix(original);
        freeMatrix(q);
        freeVector(d);
    }
}

TEST(Tridiagonalise, RefusesWrongShapes) {
    Matrix* a = makeMatrix(2, 2, {1, 0, 0, 1});
    Vector* d = allocVector(3);
    double e[2];
    EXPECT_EQ(-1, tridiagonalise(a, d, VectorView{e, 1}));
    freeVector(d);
    d = allocVector(2);
    EXPECT_EQ(-1, tridiagonalise(a, d, VectorView{e, 2}));
    freeMatrix(a);
    freeVector(d);
}

TEST(SymmetricEigen, RotationFixesTheEigenvectorSigns) {
    // Worked by hand through one sweep: the rotation angles, hence the signs,
    // follow from the shift and the sign of the off-diagonal.
    const Eigen2 equal = eigen2(2, 1, 2);
    EXPECT_NEAR(3.0, equal.value[0], 1e-12);
    EXPECT_NEAR(1.0, equal.value[1], 1e-12);
    EXPECT_NEAR(kHalfRoot2, equal.row[0][0], 1e-12);
    EXPECT_NEAR(kHalfRoot2, equal.row[0][1], 1e-12);
    EXPECT_NEAR(-kHalfRoot2, equal.row[1][0], 1e-12);
    EXPECT_NEAR(kHalfRoot2, equal.row[1][1], 1e-12);

    const Eigen2 negative = eigen2(2, -1, 2);
    EXPECT_NEAR(kHalfRoot2, negative.row[0][0], 1e-12);
    EXPECT_NEAR(-kHalfRoot2, negative.row[0][1], 1e-12);
    EXPECT_NEAR(kHalfRoot2, negative.row[1][0], 1e-12);
    EXPECT_NEAR(kHalfRoot2, negative.row[1][1], 1e-12);

    const double c = std::cos(M_PI / 8);
    const double s = std::sin(M_PI / 8);
    const Eigen2 firstLarger = eigen2(3, 1, 1);
    EXPECT_NEAR(2 + std::sqrt(2.0), firstLarger.value[0], 1e-12);
    EXPECT_NEAR(2 - std::sqrt(2.0), firstLarger.value[1], 1e-12);
    EXPECT_NEAR(c, firstLarger.row[0][0], 1e-12);
    EXPECT_NEAR(s, firstLarger.row[0][1], 1e-12);
    EXPECT_NEAR(-s, firstLarger.row[1][0], 1e-12);
    EXPECT_NEAR(c, firstLarger.row[1][1], 1e-12);

    // Here the larger value ends up second and the sort exchanges the rows.
    const Eigen2 secondLarger = eigen2(1, 1, 3);
    EXPECT_NEAR(2 + std::sqrt(2.0), secondLarger.value[0], 1e-12);
    EXPECT_NEAR(s, secondLarger.row[0][0], 1e-12);
    EXPECT_NEAR(c, secondLarger.row[0][1], 1e-12);
    EXPECT_NEAR(c, secondLarger.row[1][0], 1e-12);
    EXPECT_NEAR(-s, secondLarger.row[1][1], 1e-12);
}

TEST(SymmetricEigen, DiagonalMatrixIsSortedWithItsUnitRows) {
    Matrix* a = makeMatrix(3, 3, {2, 0, 0, 0, 5, 0, 0, 0, -1});
    Vector* d = allocVector(3);
    ASSERT_EQ(0, symmetricEigen(a, d));
    EXPECT_EQ(5.0, d->v[0]);
    EXPECT_EQ(2.0, d->v[1]);
    EXPECT_EQ(-1.0, d->v[2]);
    const double expected[9] = {0, 1, 0, 1, 0, 0, 0, 0, 1};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(expected[i], a->m[i]) << i;
    freeMatrix(a);
    freeVector(d);
}

TEST(SymmetricEigen, RowsAreOrthonormalEigenvectorsInDecreasingOrder) {
    std::mt19937 rng(3);
    for (int n : {2, 3, 4, 7}) {
        for (int trial = 0; trial < 10; ++trial) {
            Matrix* original = randomSymmetric(n, rng);
            Matrix* a = dupMatrix(original);
            Vector* d = allocVector(n);
            ASSERT_EQ(0, symmetricEigen(a, d));
            for (int i = 0; i < n; ++i) {
                if (i > 0) {
                    EXPECT_GE(d->v[i - 1], d->v[i]);
                }
                // Sweeps stop once the off-diagonal is 1e-6 of its neighbours,
                // which bounds the residual well below 1e-4 for these sizes.
                for (int r = 0; r < n; ++r) {
                    double av = 0.0;
                    for (int c = 0; c < n; ++c) av += at(original, r, c) * at(a, i, c);
                    EXPECT_NEAR(d->v[i] * at(a, i, r), av, 1e-4) << n << " pair " << i;
                }
                for (int j = 0; j < n; ++j) {
                    double dot = 0.0;
                    for (int c = 0; c < n; ++c) dot += at(a, i, c) * at(a, j, c);
                    EXPECT_NEAR(i == j ? 1.0 : 0.0, dot, 1e-9);
                }
            }
            freeMatrix(original);
            freeMatrix(a);
            freeVector(d);
        }
    }
}

TEST(SymmetricEigen, RefusesOneByOneAndWrongLengths) {
    Matrix* one = makeMatrix(1, 1, {4});
    Vector* d1 = allocVector(1);
    EXPECT_EQ(-1, symmetricEigen(one, d1));
    Matrix* two = makeMatrix(2, 2, {1, 0, 0, 1});
    EXPECT_EQ(-1, symmetricEigen(two, d1));
    freeMatrix(one);
    freeMatrix(two);
    freeVector(d1);
}

// The axis's sign is the one the edge lines inherit. Where the second
// eigenvalue is 0 only up to rounding (about 1e-16), the tolerance allows it.
TEST(PrincipalComponents, ThreePointsGiveTheirMeanAxisAndShares) {
    const double h = kHalfRoot2;
    struct Case {
        const char* what;
        std::vector<std::pair<double, double>> points;
        int result;
        double mean[2], share[2], axis[2][2];
        double tolerance;
    };
    const Case cases[] = {
        {"along x", {{0, 0}, {1, 0}, {2, 0}}, 0, {1, 0}, {1, 0}, {{1, 0}, {0, 0}}, 0.0},
        {"vertical, swapped by the sort", {{0, 0}, {0, 1}, {0, 2}}, 0, {0, 1}, {1, 0}, {{0, 1}, {NAN, NAN}}, 0.0},
        {"diagonal: positive axis", {{0, 0}, {1, 1}, {2, 2}}, 0, {1, 1}, {1, 0}, {{h, h}, {NAN, NAN}}, 1e-15},
        {"anti-diagonal: descending axis", {{0, 2}, {1, 1}, {2, 0}}, 0, {1, 1}, {1, 0}, {{h, -h}, {NAN, NAN}}, 1e-15},
        {"identical: no axis, no NaN", {{4, 5}, {4, 5}, {4, 5}}, -1, {4, 5}, {0, 0}, {{0, 0}, {NAN, NAN}}, 0.0},
    };
    for (const Case& c : cases) {
        const PointFit fit = fitPoints(c.points);
        EXPECT_EQ(c.result, fit.result) << c.what;
        for (int i = 0; i < 2; ++i) {
            EXPECT_NEAR(c.mean[i], fit.mean[i], c.tolerance) << c.what;
            EXPECT_NEAR(c.share[i], fit.share[i], c.tolerance) << c.what;
            for (int row = 0; row < 2; ++row)
                if (!std::isnan(c.axis[row][i])) EXPECT_NEAR(c.axis[row][i], fit.axis[row][i], c.tolerance) << c.what;
        }
    }
}

TEST(PrincipalComponents, NoisyLineRecoversItsDirection) {
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 0.05);
    const double angle = 0.6;
    std::vector<std::pair<double, double>> points;
    for (int i = 0; i < 60; ++i) {
        const double t = i - 30.0;
        points.push_back({12 + t * std::cos(angle) + noise(rng), -7 + t * std::sin(angle) + noise(rng)});
    }
    const PointFit fit = fitPoints(points);
    EXPECT_EQ(0, fit.result);
    EXPECT_NEAR(std::fabs(std::cos(angle)), std::fabs(fit.axis[0][0]), 1e-3);
    EXPECT_NEAR(std::fabs(std::sin(angle)), std::fabs(fit.axis[0][1]), 1e-3);
    EXPECT_GT(fit.share[0], 0.99);
    EXPECT_NEAR(1.0, fit.share[0] + fit.share[1], 1e-12);
}

TEST(PrincipalComponents, FewerObservationsThanColumnsMapAxesBack) {
    // Two observations in three dimensions: the one axis is their difference.
    Matrix* x = makeMatrix(2, 3, {1, 2, 3, 3, 2, 7});
    Matrix* evec = allocMatrix(2, 3);
    Vector* ev = allocVector(2);
    Vector* mean = allocVector(3);
    ASSERT_EQ(0, principalComponents(x, evec, ev, mean));
    EXPECT_DOUBLE_EQ(2.0, mean->v[0]);
    EXPECT_DOUBLE_EQ(5.0, mean->v[2]);
    const double length = std::sqrt(20.0);
    EXPECT_NEAR(2 / length, std::fabs(at(evec, 0, 0)), 1e-12);
    EXPECT_NEAR(0.0, at(evec, 0, 1), 1e-12);
    EXPECT_NEAR(4 / length, std::fabs(at(evec, 0, 2)), 1e-12);
    EXPECT_NEAR(1.0, ev->v[0], 1e-15);
    EXPECT_NEAR(0.0, ev->v[1], 1e-15);
    EXPECT_EQ(3.0, at(x, 1, 0)); // the input is not changed
    freeMatrix(x);
    freeMatrix(evec);
    freeVector(ev);
    freeVector(mean);
}

TEST(PrincipalComponents, RefusesSingleObservationOrColumnAndWrongShapes) {
    Matrix* oneRow = makeMatrix(1, 2, {1, 2});
    Matrix* evec = allocMatrix(1, 2);
    Vector* ev = allocVector(1);
    Vector* mean = allocVector(2);
    EXPECT_EQ(-1, principalComponents(oneRow, evec, ev, mean));

    Matrix* oneColumn = makeMatrix(3, 1, {1, 2, 3});
    Matrix* evec1 = allocMatrix(1, 1);
    Vector* mean1 = allocVector(1);
    EXPECT_EQ(-1, principalComponents(oneColumn, evec1, ev, mean1));

    Matrix* points = makeMatrix(3, 2, {0, 0, 1, 1, 2, 2});
    Vector* ev2 = allocVector(2);
    mean->v[0] = -9;
    EXPECT_EQ(-1, principalComponents(points, evec, ev2, mean)); // evec 1 x 2
    EXPECT_EQ(-9.0, mean->v[0]);

    for (Matrix* a : {oneRow, evec, oneColumn, evec1, points}) freeMatrix(a);
    for (Vector* v : {ev, mean, mean1, ev2}) freeVector(v);
}
