#include "least_squares.h"
#include <algorithm>
#include <cmath>
#include <opencv2/calib3d.hpp>

namespace {

class ForwardDifferences : public cv::LMSolver::Callback {
public:
    explicit ForwardDifferences(const ResidualFunction& residualsOf) : residualsOf_(residualsOf) {}

    bool compute(cv::InputArray param, cv::OutputArray err, cv::OutputArray J) const override {
        const cv::Mat p = param.getMat();
        std::vector<double> at(p.begin<double>(), p.end<double>());
        residualsOf_(at, r_);
        const int m = static_cast<int>(r_.size()), n = static_cast<int>(at.size());
        err.create(m, 1, CV_64F);
        std::copy(r_.begin(), r_.end(), err.getMat().begin<double>());
        if (!J.needed()) return true;
        J.create(m, n, CV_64F);
        cv::Mat jacobian = J.getMat();
        for (int j = 0; j < n; ++j) {
            const double h = 1e-6 * std::max(1.0, std::fabs(at[j]));
            const double kept = at[j];
            at[j] += h;
            residualsOf_(at, moved_);
            at[j] = kept;
            for (int i = 0; i < m; ++i) jacobian.at<double>(i, j) = (moved_[i] - r_[i]) / h;
        }
        return true;
    }

private:
    const ResidualFunction& residualsOf_;
    mutable std::vector<double> r_, moved_;
};

} // namespace

double fitLeastSquares(const ResidualFunction& residualsOf, std::vector<double>& params, int maxIterations) {
    cv::Mat p(params, true);
    cv::LMSolver::create(cv::makePtr<ForwardDifferences>(residualsOf), maxIterations)->run(p);
    std::copy(p.begin<double>(), p.end<double>(), params.begin());
    std::vector<double> r;
    residualsOf(params, r);
    double sum = 0.0;
    for (const double e : r) sum += e * e;
    return sum;
}
