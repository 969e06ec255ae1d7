// The program's own types inside dynamic values: matrices share their pixels,
// shared pointers report their pointee's class, points convert only from
// points, and typed callbacks check their argument's type.
#include "fw/gimage.h"
#include "fw/map_frame.h"
#include "fw/typed_callback.h"

#include <gtest/gtest.h>

#include <future>

#include <opencv2/core.hpp>

namespace {

// Stands for a record that only travels as a shared pointer.
struct Scaled {
    int value = 0;
};

struct Receiver {
    int calls = 0;
    bool last = false;
    void onFlag(const bool& flag) {
        ++calls;
        last = flag;
    }
    int onScaled(const std::shared_ptr<Scaled>& scaled) {
        ++calls;
        return scaled ? scaled->value : -1;
    }
};

bool throwsUnableCast(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return std::string(e.what()).find("Unable cast") != std::string::npos;
    }
    return false;
}

}  // namespace

TEST(TypeBindings, MatValuesSharePixels) {
    cv::Mat m(2, 3, CV_8UC1, cv::Scalar(1));
    dv::Var v(m);
    cv::Mat back = v.convert<cv::Mat>();
    EXPECT_EQ(back.data, m.data);
    back.at<uchar>(1, 2) = 42;
    EXPECT_EQ(m.at<uchar>(1, 2), 42);
    EXPECT_EQ(v.clone().typedRef<cv::Mat>().data, m.data);  // a clone copies the header only

    // In place for a Var holding a Mat: every handle sees the new matrix.
    dv::Var other = v;
    cv::Mat second(4, 4, CV_8UC3, cv::Scalar(7, 8, 9));
    v = second;
    EXPECT_EQ(other.typedRef<cv::Mat>().data, second.data);
    // A Var holding an int is rebound; its other handles keep the int.
    dv::Var number(5);
    dv::Var numberCopy = number;
    number = m;
    EXPECT_TRUE(number.holds<cv::Mat>());
    EXPECT_EQ(numberCopy.convert<int>(), 5);
    EXPECT_TRUE(throwsUnableCast([&] { numberCopy.convert<cv::Mat>(); }));
}

TEST(TypeBindings, ImageHoldersAndFrames) {
    cv::Mat m(3, 3, CV_32FC1, cv::Scalar(0.5));
    fw::GImage image(m);
    EXPECT_TRUE(image.holder.holds<cv::Mat>());
    EXPECT_EQ(image.holder.typedRef<cv::Mat>().data, m.data);

    using Holder = std::shared_ptr<fw::GImage::DefaultHolder>;
    EXPECT_TRUE(dv::Var(Holder()).isNull());
    fw::GImage owned(2, 2, CV_8UC1);
    ASSERT_TRUE(owned.holder.holds<Holder>());
    dv::Var holder = owned.holder.clone();
    EXPECT_EQ(holder.convertRef<Holder>().get(), owned.holder.convertRef<Holder>().get());
    // An empty pointer assigned to a Var holding a holder keeps the holder, emptied.
    dv::Var held(std::make_shared<fw::GImage::DefaultHolder>(nullptr));
    held = Holder();
    ASSERT_TRUE(held.holds<Holder>());
    EXPECT_FALSE(held.convertRef<Holder>());

    auto frame = std::make_shared<fw::MapFrame>(3, 1.0);
    const dv::Var f = dv::Var(std::shared_ptr<fw::MapFrame>(frame));
    EXPECT_EQ(f.convert<std::shared_ptr<fw::MapFrame>>().get(), frame.get());
    EXPECT_EQ(f.clone().convertRef<std::shared_ptr<fw::MapFrame>>().get(), frame.get());
    EXPECT_FALSE(dv::Var::null().convert<std::shared_ptr<fw::MapFrame>>());
}

TEST(TypeBindings, SharedPointersReportThePointeeClass) {
    dv::Var v(std::make_shared<Scaled>());
    EXPECT_EQ(v.typeName(), dv::VarClass::classOf<Scaled>().className);
    EXPECT_NE(v.typeName(), dv::VarClass::classOf<std::shared_ptr<Scaled>>().className);
    std::promise<std::shared_ptr<Scaled>> promise;
    dv::Var future(promise.get_future().share());
    EXPECT_EQ(future.typeName(), dv::VarClass::classOf<std::shared_future<std::shared_ptr<Scaled>>>().className);
    EXPECT_TRUE(future.clone().holds<std::shared_future<std::shared_ptr<Scaled>>>());
}

TEST(TypeBindings, PointsConvertOnlyFromPoints) {
    const dv::Var three = {1.0, 2.0, 3.0};
    EXPECT_TRUE(throwsUnableCast([&] { three.convert<pt::Point3d>(); }));
    const std::vector<pt::Point3d> points = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
    const dv::Var list(points);
    const auto back = list.convert<std::vector<pt::Point3d>>();
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[2].x, 7.0);
    EXPECT_EQ(list[dv::Var(1)].convert<pt::Point3d>().z, 6.0);
    const std::vector<pt::Point3_<unsigned char>> colours = {{1, 2, 3}};
    EXPECT_EQ(dv::Var(colours).convert<std::vector<pt::Point3_<unsigned char>>>()[0].z, 3);
}

TEST(TypeBindings, TypedCallbacksCheckTheirArgument) {
    Receiver r;
    dv::VarFunction flag = fw::typedCallback(&Receiver::onFlag, &r);
    ASSERT_EQ(flag.signatureClasses.size(), 2u);
    EXPECT_TRUE(flag.call(true).isUndefined());
    EXPECT_EQ(r.calls, 1);
    EXPECT_TRUE(r.last);
    EXPECT_TRUE(throwsUnableCast([&] { flag.call(5); }));
    EXPECT_EQ(r.calls, 1);

    // What the member function returns is dropped.
    dv::VarFunction scaled = fw::typedCallback(&Receiver::onScaled, &r);
    auto payload = std::make_shared<Scaled>();
    payload->value = 9;
    EXPECT_TRUE(scaled.call(payload).isUndefined());
    EXPECT_EQ(r.calls, 2);

    dv::VarFunction empty = fw::typedCallback<bool>(std::function<void(const bool&)>());
    EXPECT_THROW(empty.call(true), std::bad_function_call);
    dv::VarFunction unbound = fw::typedCallback(&Receiver::onFlag, static_cast<Receiver*>(nullptr));
    EXPECT_THROW(unbound.call(true), std::bad_function_call);
}
