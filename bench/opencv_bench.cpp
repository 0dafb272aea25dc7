// OpenCV's nearest single-threaded equivalents of the engine's operations, on
// the same 8-bit RGB layers, so that one run shows how the engine compares.
// Built only when OpenCV is installed; it is never a dependency of the engine.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

#include "bench_util.h"

using namespace texbench;

namespace {

cv::Mat layerMat(int32_t layer) { return cv::Mat(tex::layerHeight, tex::layerWidth, CV_8UC3, tex::layers[layer]); }

// Prepares the layers and OpenCV, runs body once per iteration.
template <typename Body>
void runOpenCV(benchmark::State& state, Body body) {
    cv::setNumThreads(1);
    prepareLayers(int32_t(state.range(0)));
    cv::Mat a = layerMat(0), b = layerMat(1), out = layerMat(2);
    for (auto _ : state) {
        body(a, b, out);
        benchmark::ClobberMemory();
    }
    countPixels(state);
    tex::freeLayers();
}

void BM_OpenCV_BitwiseNot(benchmark::State& state) {
    runOpenCV(state, [](cv::Mat& a, cv::Mat&, cv::Mat& out) { cv::bitwise_not(a, out); });
}
void BM_OpenCV_AddWeighted(benchmark::State& state) {
    runOpenCV(state, [](cv::Mat& a, cv::Mat& b, cv::Mat& out) { cv::addWeighted(a, 0.6, b, 0.7, 0.0, out); });
}
void BM_OpenCV_Multiply(benchmark::State& state) {
    runOpenCV(state, [](cv::Mat& a, cv::Mat& b, cv::Mat& out) { cv::multiply(a, b, out, 1.0 / 255.0); });
}
void BM_OpenCV_LUT(benchmark::State& state) {
    cv::Mat table(1, 256, CV_8UC3);
    for (int i = 0; i < 256; ++i) table.at<cv::Vec3b>(0, i) = cv::Vec3b(uchar(255 - i), uchar(i / 2), uchar(i));
    runOpenCV(state, [&](cv::Mat& a, cv::Mat&, cv::Mat& out) { cv::LUT(a, table, out); });
}
void BM_OpenCV_GaussianBlur3(benchmark::State& state) {
    runOpenCV(state, [](cv::Mat& a, cv::Mat&, cv::Mat& out) { cv::GaussianBlur(a, out, cv::Size(3, 3), 0.0); });
}
void BM_OpenCV_Filter2D3(benchmark::State& state) {
    const cv::Mat kernel = (cv::Mat_<float>(3, 3) << 0, -1, 0, -1, 5, -1, 0, -1, 0);
    runOpenCV(state, [&](cv::Mat& a, cv::Mat&, cv::Mat& out) { cv::filter2D(a, out, -1, kernel); });
}
void BM_OpenCV_MedianBlur3(benchmark::State& state) {
    runOpenCV(state, [](cv::Mat& a, cv::Mat&, cv::Mat& out) { cv::medianBlur(a, out, 3); });
}
void BM_OpenCV_Erode3(benchmark::State& state) {
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    runOpenCV(state, [&](cv::Mat& a, cv::Mat&, cv::Mat& out) { cv::erode(a, out, kernel); });
}
void BM_OpenCV_Dilate3(benchmark::State& state) {
    const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    runOpenCV(state, [&](cv::Mat& a, cv::Mat&, cv::Mat& out) { cv::dilate(a, out, kernel); });
}
void BM_OpenCV_EqualizeHist(benchmark::State& state) {
    runOpenCV(state, [](cv::Mat& a, cv::Mat&, cv::Mat& out) {
        cv::Mat channels[3];
        cv::split(a, channels);
        for (cv::Mat& channel : channels) cv::equalizeHist(channel, channel);
        cv::merge(channels, 3, out);
    });
}
// The HSV operations' round trip: RGB to HSV and back (8-bit, hue in 0..180).
void BM_OpenCV_HsvRoundTrip(benchmark::State& state) {
    cv::Mat hsv;
    runOpenCV(state, [&](cv::Mat& a, cv::Mat&, cv::Mat& out) {
        cv::cvtColor(a, hsv, cv::COLOR_RGB2HSV);
        cv::cvtColor(hsv, out, cv::COLOR_HSV2RGB);
    });
}
// A sine displacement as a remap: every pixel samples between source pixels.
void BM_OpenCV_RemapCubic(benchmark::State& state) {
    const int side = int(state.range(0));
    cv::Mat mapX(side, side, CV_32FC1), mapY(side, side, CV_32FC1);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            mapX.at<float>(y, x) = float(x + 7.3 * std::sin(y * 0.05));
            mapY.at<float>(y, x) = float(y + 5.1 * std::sin(x * 0.04));
        }
    runOpenCV(state, [&](cv::Mat& a, cv::Mat&, cv::Mat& out) {
        cv::remap(a, out, mapX, mapY, cv::INTER_CUBIC, cv::BORDER_WRAP);
    });
}

}  // namespace

TEX_BENCH(BM_OpenCV_BitwiseNot);
TEX_BENCH(BM_OpenCV_AddWeighted);
TEX_BENCH(BM_OpenCV_Multiply);
TEX_BENCH(BM_OpenCV_LUT);
TEX_BENCH(BM_OpenCV_GaussianBlur3);
TEX_BENCH(BM_OpenCV_Filter2D3);
TEX_BENCH(BM_OpenCV_MedianBlur3);
TEX_BENCH(BM_OpenCV_Erode3);
TEX_BENCH(BM_OpenCV_Dilate3);
TEX_BENCH(BM_OpenCV_EqualizeHist);
TEX_BENCH(BM_OpenCV_RemapCubic);
TEX_BENCH(BM_OpenCV_HsvRoundTrip);
