#include "terrain/pyramid.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

void buildLaplacianPyramid(const cv::Mat& source, int levels, std::vector<cv::Mat>& pyramid) {
    pyramid.assign(static_cast<size_t>(std::max(levels, 0)) + 1, cv::Mat());
    std::vector<cv::Mat> gauss(pyramid.size());
    gauss[0] = source;
    for (int i = 0; i < levels; ++i) cv::pyrDown(gauss[i], gauss[i + 1]);
    const bool eightBit = source.depth() == CV_8U;
    for (int i = 0; i < levels; ++i) {
        cv::Mat up;
        cv::pyrUp(gauss[i + 1], up, gauss[i].size());
        if (eightBit) {
            cv::subtract(gauss[i], up, pyramid[i], cv::noArray(), CV_16S);
        } else {
            cv::subtract(gauss[i], up, pyramid[i]);
        }
    }
    if (eightBit && levels > 0) {
        gauss[levels].convertTo(pyramid[levels], CV_16S, 1.0, 0.0);
    } else {
        pyramid[levels] = gauss[levels];
    }
}

void halveImage(const cv::Mat& source, cv::Mat& destination) {
    cv::resize(source, destination, cv::Size(source.cols / 2, source.rows / 2), 0, 0, cv::INTER_NEAREST);
}

namespace {

// Colour times coverage and the coverage (float), both at the image's size.
void weighted(const cv::Mat& image, const cv::Mat& weight, cv::Mat& colour, cv::Mat& coverage) {
    cv::Mat mask = weight > 0;
    mask.convertTo(coverage, CV_32F, 1.0 / 255.0);
    image.convertTo(colour, CV_32FC3);
    cv::Mat coverage3;
    cv::merge(std::vector<cv::Mat>{coverage, coverage, coverage}, coverage3);
    cv::multiply(colour, coverage3, colour);
}

// colour / coverage where coverage is above 0, else `empty`, as 8-bit.
cv::Mat normalised(const cv::Mat& colour, const cv::Mat& coverage, double empty) {
    cv::Mat out(colour.size(), CV_8UC3);
    for (int r = 0; r < colour.rows; ++r) {
        const cv::Vec3f* c = colour.ptr<cv::Vec3f>(r);
        const float* m = coverage.ptr<float>(r);
        cv::Vec3b* o = out.ptr<cv::Vec3b>(r);
        for (int x = 0; x < colour.cols; ++x) {
            if (m[x] > 1e-6f) {
                const float k = 1.0f / m[x];
                o[x] = cv::Vec3b(cv::saturate_cast<uint8_t>(c[x][0] * k), cv::saturate_cast<uint8_t>(c[x][1] * k),
                                 cv::saturate_cast<uint8_t>(c[x][2] * k));
            } else {
                o[x] = cv::Vec3b::all(cv::saturate_cast<uint8_t>(empty));
            }
        }
    }
    return out;
}

}  // namespace

cv::Mat fillUncovered(const cv::Mat& image, const cv::Mat& weight) {
    if (image.empty() || image.type() != CV_8UC3 || weight.size() != image.size() || weight.type() != CV_8UC1 ||
        image.rows < 2 || image.cols < 2)
        return image;
    const cv::Mat covered = weight > 0;
    const int count = cv::countNonZero(covered);
    if (count == 0 || count == static_cast<int>(covered.total())) return image;
    // Push. The first halving in 16 bits (colour x 256 where covered, and the
    // coverage as 255 x 256), which keeps 1/256 of a level; the coarser
    // levels in float: colour x coverage and coverage (0 to 1).
    cv::Mat colour16, coverage16;
    image.convertTo(colour16, CV_16UC3, 256.0);
    colour16.setTo(cv::Scalar::all(0), covered == 0);
    covered.convertTo(coverage16, CV_16U, 256.0);
    cv::pyrDown(colour16, colour16);
    cv::pyrDown(coverage16, coverage16);
    std::vector<cv::Mat> colours(1), coverages(1);
    colour16.convertTo(colours[0], CV_32FC3, 1.0 / 256.0);
    coverage16.convertTo(coverages[0], CV_32F, 1.0 / (255.0 * 256.0));
    while (colours.back().rows > 1 || colours.back().cols > 1) {
        cv::Mat c, m;
        cv::pyrDown(colours.back(), c);
        cv::pyrDown(coverages.back(), m);
        colours.push_back(c);
        coverages.push_back(m);
    }
    // Pull: each level's gaps (and its partly covered pixels, in proportion)
    // take the expanded level above.
    const size_t top = colours.size() - 1;
    cv::Mat filled(colours[top].size(), CV_32FC3);
    for (int r = 0; r < filled.rows; ++r)
        for (int x = 0; x < filled.cols; ++x) {
            const float k = coverages[top].at<float>(r, x);
            filled.at<cv::Vec3f>(r, x) =
                k > 1e-12f ? colours[top].at<cv::Vec3f>(r, x) * (1.0f / k) : cv::Vec3f::all(255.0f);
        }
    for (size_t l = top; l-- > 0;) {
        cv::Mat up;
        cv::pyrUp(filled, up, colours[l].size());
        const cv::Mat c = colours[l], m = coverages[l];
        cv::Mat next(c.size(), CV_32FC3);
        for (int r = 0; r < c.rows; ++r) {
            const cv::Vec3f* cr = c.ptr<cv::Vec3f>(r);
            const cv::Vec3f* ur = up.ptr<cv::Vec3f>(r);
            const float* mr = m.ptr<float>(r);
            cv::Vec3f* nr = next.ptr<cv::Vec3f>(r);
            for (int x = 0; x < c.cols; ++x) {
                const float k = std::min(mr[x], 1.0f);
                nr[x] = k >= 1.0f ? cr[x] * (1.0f / mr[x]) : cr[x] + ur[x] * (1.0f - k);
            }
        }
        filled = next;
    }
    // Full size: the uncovered pixels take the expanded first level, the
    // covered ones keep their colour exactly.
    cv::Mat half, out;
    filled.convertTo(half, CV_8UC3);
    cv::pyrUp(half, out, image.size());
    image.copyTo(out, covered);
    return out;
}

std::vector<cv::Mat> reduceCovered(const cv::Mat& image, const cv::Mat& weight, int levels) {
    std::vector<cv::Mat> out{image};
    if (levels < 1) return out;
    if (cv::countNonZero(weight) == static_cast<int>(weight.total())) {
        // All covered: the plain reductions.
        for (int k = 1; k <= levels; ++k) {
            cv::Mat c;
            cv::pyrDown(out.back(), c);
            out.push_back(c);
        }
        return out;
    }
    cv::Mat colour, coverage;
    weighted(image, weight, colour, coverage);
    for (int k = 1; k <= levels; ++k) {
        cv::Mat c, m;
        cv::pyrDown(colour, c);
        cv::pyrDown(coverage, m);
        out.push_back(normalised(c, m, 255.0));
        colour = c;
        coverage = m;
    }
    return out;
}
