#include "sgm/semi_global_matcher.h"

#include <cstdint>
#include <stdexcept>

#include "device_image.h"
#include "launchers.h"

namespace sgm {

class SemiGlobalMatcher::Impl {
public:
    Impl(int width, int height, int disparitySize, int inputDepthBits, int outputDepthBits, ExecuteInOut inOut,
         const Parameters& parameters);
    ~Impl();
    void execute(const void* left, const void* right, void* output);

private:
    int width_;
    int height_;
    int disparitySize_;
    int srcPitch_;
    int dstPitch_;
    Parameters param_;
    ImageType srcType_ = ImageType::U8;
    bool dst16_ = false;
    bool inputOnDevice_ = false;
    bool outputOnDevice_ = false;
    DeviceImage srcLeft_, srcRight_, censusLeft_, censusRight_, costs_, dispLeft_, dispRight_, result_,
        filteredRight_;
};

namespace {

void checkOutputRange(int disparitySize, int outputDepthBits, const SemiGlobalMatcher::Parameters& p) {
    const int64_t scale = p.subpixel ? 16 : 1;
    const int64_t fraction = p.subpixel ? 15 : 0;
    const int64_t maxValue = (disparitySize - 1 + static_cast<int64_t>(p.minDisparity)) * scale + fraction;
    bool ok = maxValue < (int64_t(1) << outputDepthBits);
    if (p.minDisparity <= 0) {
        const int64_t minValue = (static_cast<int64_t>(p.minDisparity) - 1) * scale;
        ok = ok && minValue >= -(int64_t(1) << (outputDepthBits - 1)) && maxValue < (int64_t(1) << (outputDepthBits - 1));
    }
    if (!ok) throw std::logic_error("output depth bits must be sufficient for representing output value");
}

}  // namespace

SemiGlobalMatcher::Impl::Impl(int width, int height, int disparitySize, int inputDepthBits, int outputDepthBits,
                              ExecuteInOut inOut, const Parameters& parameters)
    : width_(width),
      height_(height),
      disparitySize_(disparitySize),
      srcPitch_(width),
      dstPitch_(width),
      param_(parameters) {
    if (inputDepthBits != 8 && inputDepthBits != 16 && inputDepthBits != 32)
        throw std::logic_error("src depth bits must be 8, 16 or 32");
    if (outputDepthBits != 8 && outputDepthBits != 16) throw std::logic_error("dst depth bits must be 8 or 16");
    if (disparitySize != 64 && disparitySize != 128 && disparitySize != 256)
        throw std::logic_error("disparity size must be 64 or 128 or 256");
    checkOutputRange(disparitySize, outputDepthBits, param_);

    srcType_ = inputDepthBits == 8 ? ImageType::U8 : inputDepthBits == 16 ? ImageType::U16 : ImageType::U32;
    dst16_ = outputDepthBits == 16;
    inputOnDevice_ = (inOut & 1) != 0;
    outputOnDevice_ = (inOut & 2) != 0;

    if (!inputOnDevice_) {
        srcLeft_.create(height_, width_, srcType_, srcPitch_);
        srcRight_.create(height_, width_, srcType_, srcPitch_);
    }
    const ImageType censusType = param_.censusType == CensusType::Census ? ImageType::U64 : ImageType::U32;
    censusLeft_.create(height_, width_, censusType);
    censusRight_.create(height_, width_, censusType);
    censusLeft_.fillZero();
    censusRight_.fillZero();
    dispLeft_.create(height_, width_, ImageType::U16, dstPitch_);
    dispRight_.create(height_, width_, ImageType::U16, dstPitch_);
    if (!(outputOnDevice_ && dst16_)) result_.create(height_, width_, ImageType::U16, dstPitch_);
    filteredRight_.create(height_, width_, ImageType::U16, dstPitch_);
}

SemiGlobalMatcher::Impl::~Impl() {
    filteredRight_.release();
    result_.release();
    dispRight_.release();
    dispLeft_.release();
    costs_.release();
    censusRight_.release();
    censusLeft_.release();
    srcRight_.release();
    srcLeft_.release();
}

void SemiGlobalMatcher::Impl::execute(const void* left, const void* right, void* output) {
    if (inputOnDevice_) {
        srcLeft_.wrap(const_cast<void*>(left), height_, width_, srcType_, srcPitch_);
        srcRight_.wrap(const_cast<void*>(right), height_, width_, srcType_, srcPitch_);
    } else {
        srcLeft_.upload(left);
        srcRight_.upload(right);
    }
    if (outputOnDevice_ && dst16_) result_.wrap(output, height_, width_, ImageType::U16, dstPitch_);

    censusTransform(srcLeft_, censusLeft_, param_.censusType);
    censusTransform(srcRight_, censusRight_, param_.censusType);
    costAggregation(censusLeft_, censusRight_, costs_, disparitySize_, param_.P1, param_.P2, param_.pathType,
                    param_.minDisparity);
    winnerTakesAll(costs_, dispLeft_, dispRight_, disparitySize_, param_.uniqueness, param_.subpixel,
                   param_.pathType);
    medianFilter(dispLeft_, result_);
    medianFilter(dispRight_, filteredRight_);
    checkConsistency(result_, filteredRight_, srcLeft_, param_.subpixel, param_.lrMaxDiff);
    correctDisparityRange(result_, param_.subpixel, param_.minDisparity);

    if (!outputOnDevice_) {
        if (dst16_) {
            result_.download(output);
        } else {
            cast16To8(result_, dispLeft_);
            dispLeft_.download(output);
        }
    } else if (!dst16_) {
        DeviceImage out(output, height_, width_, ImageType::U8, dstPitch_);
        cast16To8(result_, out);
    }
}

SemiGlobalMatcher::SemiGlobalMatcher(int width, int height, int disparitySize, int inputDepthBits,
                                     int outputDepthBits, ExecuteInOut inOut, const Parameters& parameters)
    : impl_(new Impl(width, height, disparitySize, inputDepthBits, outputDepthBits, inOut, parameters)) {}

SemiGlobalMatcher::~SemiGlobalMatcher() = default;

void SemiGlobalMatcher::execute(const void* left, const void* right, void* output) {
    impl_->execute(left, right, output);
}

}  // namespace sgm
