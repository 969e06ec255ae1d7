// DBSCAN against a brute-force oracle, and the k-d tree's range query.

#include "cluster/dbscan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

namespace {

using Point = pt::Point3_<double>;

struct Expected {
    std::vector<std::set<uint32_t>> clusters;  // ordered by their smallest index
    std::vector<uint32_t> noise;
};

// All pairs: core points, then connected components of core points.
Expected oracle(const std::vector<Point>& points, unsigned dim, double eps, uint32_t minPts) {
    const size_t n = points.size();
    auto near = [&](size_t a, size_t b) {
        const double pa[3] = {points[a].x, points[a].y, points[a].z};
        const double pb[3] = {points[b].x, points[b].y, points[b].z};
        double d2 = 0;
        for (unsigned k = 0; k < dim; ++k) d2 += (pa[k] - pb[k]) * (pa[k] - pb[k]);
        return d2 <= eps * eps;
    };
    std::vector<bool> core(n);
    for (size_t i = 0; i < n; ++i) {
        uint32_t count = 0;
        for (size_t j = 0; j < n; ++j)
            if (j != i && near(i, j)) ++count;
        core[i] = count >= minPts;
    }
    Expected e;
    std::vector<bool> done(n);
    for (size_t i = 0; i < n; ++i) {
        if (!core[i] || done[i]) continue;
        std::set<uint32_t> component;
        std::vector<size_t> stack{i};
        done[i] = true;
        while (!stack.empty()) {
            const size_t a = stack.back();
            stack.pop_back();
            component.insert(uint32_t(a));
            for (size_t b = 0; b < n; ++b)
                if (core[b] && !done[b] && near(a, b)) {
                    done[b] = true;
                    stack.push_back(b);
                }
        }
        e.clusters.push_back(component);
    }
    for (size_t i = 0; i < n; ++i)
        if (!core[i]) e.noise.push_back(uint32_t(i));
    return e;
}

template <typename P>
void expectMatches(const DBSCAN<P>& db, const Expected& e) {
    ASSERT_EQ(db.clusters.size(), e.clusters.size());
    for (size_t k = 0; k < e.clusters.size(); ++k) {
        const std::set<uint32_t> got(db.clusters[k].begin(), db.clusters[k].end());
        EXPECT_EQ(got.size(), db.clusters[k].size()) << "an index twice in cluster " << k;
        EXPECT_EQ(got, e.clusters[k]) << "cluster " << k;
        EXPECT_EQ(db.clusters[k].front(), *e.clusters[k].begin()) << "opened by its smallest index";
    }
    EXPECT_EQ(db.noise, e.noise);
}

TEST(DbscanTest, MatchesBruteForceOnRandomSetsWithTiesAtEps) {
    // Integer lattice coordinates make many distances exactly eps.
    std::mt19937 rng(7);
    struct Case {
        unsigned dim;
        double eps;
        uint32_t minPts;
        int extent;
        int count;
    };
    const Case cases[] = {
        {1, 1.0, 2, 40, 60},  {1, 0.0, 1, 10, 40},   {2, 1.0, 3, 12, 150}, {2, 2.0, 5, 20, 200},
        {3, 1.0, 2, 6, 150},  {3, 2.0, 8, 8, 300},   {3, 0.0, 1, 3, 60},   {2, 5.0, 200, 10, 100},
    };
    for (const Case& c : cases) {
        for (int round = 0; round < 5; ++round) {
            std::uniform_int_distribution<int> coordinate(0, c.extent);
            std::vector<Point> points;
            for (int i = 0; i < c.count; ++i)
                points.emplace_back(coordinate(rng), coordinate(rng), coordinate(rng));
            DBSCAN<Point> db;
            ASSERT_EQ(db.run(points, c.dim, c.eps, c.minPts), 0);
            SCOPED_TRACE(::testing::Message() << "dim " << c.dim << " eps " << c.eps << " minPts " << c.minPts);
            expectMatches(db, oracle(points, c.dim, c.eps, c.minPts));
        }
    }
}

TEST(DbscanTest, MatchesBruteForceOnScatteredValues) {
    std::mt19937 rng(11);
    std::normal_distribution<double> around(50.0, 3.0);
    std::uniform_real_distribution<double> anywhere(0.0, 500.0);
    std::vector<Point> points;
    for (int i = 0; i < 400; ++i) points.emplace_back(i % 10 == 0 ? anywhere(rng) : around(rng), 0, 0);
    DBSCAN<Point> db;
    ASSERT_EQ(db.run(points, 1, 0.5, 5), 0);
    expectMatches(db, oracle(points, 1, 0.5, 5));
}

TEST(DbscanTest, SmallCases) {
    DBSCAN<vec1d> db;
    const std::vector<vec1d> values{0.0, 0.5, 1.0, 10.0};
    ASSERT_EQ(db.run(values, 1, 1.0, 2), 0);
    ASSERT_EQ(db.clusters.size(), 1u);
    EXPECT_EQ(std::set<uint32_t>(db.clusters[0].begin(), db.clusters[0].end()), (std::set<uint32_t>{0, 1, 2}));
    EXPECT_EQ(db.noise, (std::vector<uint32_t>{3}));

    // minPts above every neighbourhood: all noise, ascending.
    ASSERT_EQ(db.run(values, 1, 1.0, 4), 0);
    EXPECT_TRUE(db.clusters.empty());
    EXPECT_EQ(db.noise, (std::vector<uint32_t>{0, 1, 2, 3}));

    // A border point (1 neighbour, within eps of a core point) stays noise.
    const std::vector<vec1d> border{0.0, 0.1, 0.2, 1.15};
    ASSERT_EQ(db.run(border, 1, 1.0, 2), 0);
    ASSERT_EQ(db.clusters.size(), 1u);
    EXPECT_EQ(db.clusters[0].size(), 3u);
    EXPECT_EQ(db.noise, (std::vector<uint32_t>{3}));

    // Duplicates are neighbours at eps 0; the point itself is not.
    const std::vector<vec1d> duplicates{3.0, 3.0, 4.0};
    ASSERT_EQ(db.run(duplicates, 1, 0.0, 1), 0);
    ASSERT_EQ(db.clusters.size(), 1u);
    EXPECT_EQ(std::set<uint32_t>(db.clusters[0].begin(), db.clusters[0].end()), (std::set<uint32_t>{0, 1}));
    EXPECT_EQ(db.noise, (std::vector<uint32_t>{2}));
}

TEST(DbscanTest, DimensionOneReadsTheFirstCoordinateOnly) {
    const std::vector<Point> points{{1.0, 0.0, 0.0}, {1.0, 50.0, -900.0}, {30.0, 0.0, 0.0}};
    DBSCAN<Point> db;
    ASSERT_EQ(db.run(points, 1, 0.5, 1), 0);
    ASSERT_EQ(db.clusters.size(), 1u);
    EXPECT_EQ(db.clusters[0], (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(db.noise, (std::vector<uint32_t>{2}));
}

TEST(DbscanTest, RefusedRunsLeaveTheResultsAlone) {
    DBSCAN<vec1d> db;
    const std::vector<vec1d> values{0.0, 0.0, 5.0};
    ASSERT_EQ(db.run(values, 1, 0.1, 1), 0);
    const auto clusters = db.clusters;
    const auto noise = db.noise;
    EXPECT_EQ(db.run({}, 1, 0.1, 1), 1);
    EXPECT_EQ(db.run(values, 0, 0.1, 1), 1);
    EXPECT_EQ(db.run(values, 1, 0.1, 0), 1);
    EXPECT_EQ(db.run(values, 2, 0.1, 1), 1) << "a value has one coordinate";
    EXPECT_EQ(db.clusters, clusters);
    EXPECT_EQ(db.noise, noise);
}

TEST(KdTreeTest, RangeIncludesTheRadiusAndReportsInReverseDiscovery) {
    cluster::KdTree tree(2);
    const double positions[][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {1, 0}, {-1, 0}, {3, 3}};
    for (uint32_t i = 0; i < 7; ++i) ASSERT_EQ(tree.insert(positions[i], i), 0);
    EXPECT_EQ(tree.boxMin(), (std::vector<double>{-1, 0}));
    EXPECT_EQ(tree.boxMax(), (std::vector<double>{3, 3}));
    std::vector<uint32_t> found;
    const double query[2] = {0, 0};
    ASSERT_TRUE(tree.range(query, 1.0, found));
    // Root first discovered, so last in the result.
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found.back(), 0u);
    EXPECT_EQ(std::set<uint32_t>(found.begin(), found.end()), (std::set<uint32_t>{0, 1, 2, 4, 5}));
    const double far[2] = {10, 10};
    ASSERT_TRUE(tree.range(far, 1.0, found));
    EXPECT_TRUE(found.empty());
}

}  // namespace
