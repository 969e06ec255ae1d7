#pragma once
// Scores between two bag-of-words vectors, over the words present in both.

#include "fw/bow_vector.h"

namespace fw {

class GeneralScoring {
public:
    virtual double score(const BowVector& v, const BowVector& w) const = 0;
    // Whether vectors must be normalised first, and by which norm (0 L1, 1 L2).
    virtual bool normalisation(int& norm) const = 0;
    virtual ~GeneralScoring();
};

class L1Scoring : public GeneralScoring {
public:
    double score(const BowVector& v, const BowVector& w) const override;
    bool normalisation(int& norm) const override;
};

class L2Scoring : public GeneralScoring {
public:
    double score(const BowVector& v, const BowVector& w) const override;
    bool normalisation(int& norm) const override;
};

class ChiSquareScoring : public GeneralScoring {
public:
    double score(const BowVector& v, const BowVector& w) const override;
    bool normalisation(int& norm) const override;
};

class KLScoring : public GeneralScoring {
public:
    double score(const BowVector& v, const BowVector& w) const override;
    bool normalisation(int& norm) const override;
};

class BhattacharyyaScoring : public GeneralScoring {
public:
    double score(const BowVector& v, const BowVector& w) const override;
    bool normalisation(int& norm) const override;
};

class DotProductScoring : public GeneralScoring {
public:
    double score(const BowVector& v, const BowVector& w) const override;
    bool normalisation(int& norm) const override;
};

// Divides every weight by the vector's L1 (norm 0) or L2 (norm 1) norm when it is above 0.
void normaliseBowVector(BowVector& v, int norm);

}  // namespace fw
