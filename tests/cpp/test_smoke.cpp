#include <gtest/gtest.h>

#include <cmath>
#include <variant>

#include "knn/impute.hpp"

using mirel::knn::KnnImputer;

TEST(Pass, FourByTwoExampleWithKTwoAndThree) {
    const double nan = std::nan("");
    std::vector<double> x = {1.0, 10.0, 2.0, nan, 3.0, 30.0, 4.0, 40.0};
    auto imp = KnnImputer::create(2, "nan_euclid", "uniform");
    imp.store_fitted(x, 4, 2);
    auto out = std::get<std::vector<double>>(mirel::knn::impute(imp, x, 4));
    EXPECT_EQ(out[3], 20.0);
    imp.set_k(3);
    out = std::get<std::vector<double>>(mirel::knn::impute(imp, x, 4));
    EXPECT_EQ(out[3], 26.666666666666664);
}
