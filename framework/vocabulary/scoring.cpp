#include "fw/scoring.h"

#include <cmath>

namespace fw {

namespace {

// Calls f(v, w) for every word present in both vectors, in word order.
template <typename F>
void forCommonWords(const BowVector& a, const BowVector& b, F f) {
    auto i = a.begin(), j = b.begin();
    while (i != a.end() && j != b.end()) {
        if (i->first < j->first) {
            ++i;
        } else if (j->first < i->first) {
            ++j;
        } else {
            f(double(i->second), double(j->second));
            ++i;
            ++j;
        }
    }
}

}  // namespace

GeneralScoring::~GeneralScoring() = default;

double L1Scoring::score(const BowVector& v, const BowVector& w) const {
    double sum = 0;
    forCommonWords(v, w, [&](double a, double b) {
        sum += std::fabs(a - b) - std::fabs(a) - std::fabs(b);
    });
    return -sum / 2;
}

bool L1Scoring::normalisation(int& norm) const {
    norm = 0;
    return true;
}

double L2Scoring::score(const BowVector& v, const BowVector& w) const {
    double s = 0;
    forCommonWords(v, w, [&](double a, double b) { s += a * b; });
    return s >= 1 ? 1.0 : 1.0 - std::sqrt(1.0 - s);
}

bool L2Scoring::normalisation(int& norm) const {
    norm = 1;
    return true;
}

double ChiSquareScoring::score(const BowVector& v, const BowVector& w) const {
    double sum = 0;
    forCommonWords(v, w, [&](double a, double b) {
        if (a + b != 0) sum += a * b / (a + b);
    });
    return 2 * sum;
}

bool ChiSquareScoring::normalisation(int& norm) const {
    norm = 0;
    return true;
}

double KLScoring::score(const BowVector& v, const BowVector& w) const {
    static const double logEps = std::log(2.220446049250313e-16);
    double sum = 0;
    auto j = w.begin();
    for (const auto& [word, weight] : v) {
        while (j != w.end() && j->first < word) ++j;
        const float a = weight;
        if (a == 0) continue;  // v ln v tends to 0
        if (j != w.end() && j->first == word) {
            const float b = j->second;
            if (b != 0) sum += double(a) * std::log(a / b);
        } else {
            sum += double(a) * (double(std::log(a)) - logEps);
        }
    }
    return sum;
}

bool KLScoring::normalisation(int& norm) const {
    norm = 0;
    return true;
}

double BhattacharyyaScoring::score(const BowVector& v, const BowVector& w) const {
    double sum = 0;
    forCommonWords(v, w, [&](double a, double b) { sum += std::sqrt(a * b); });
    return sum;
}

bool BhattacharyyaScoring::normalisation(int& norm) const {
    norm = 0;
    return true;
}

double DotProductScoring::score(const BowVector& v, const BowVector& w) const {
    double sum = 0;
    forCommonWords(v, w, [&](double a, double b) { sum += a * b; });
    return sum;
}

bool DotProductScoring::normalisation(int&) const { return false; }

void normaliseBowVector(BowVector& v, int norm) {
    double n = 0;
    if (norm == 0) {
        for (const auto& e : v) n += std::fabs(e.second);
    } else {
        for (const auto& e : v) n += double(e.second * e.second);
        n = std::sqrt(n);
    }
    if (n > 0)
        for (auto& e : v) e.second = float(e.second / n);
}

}  // namespace fw
