#include <gtest/gtest.h>

#include <atomic>
#include <dlib/opencv/cv_image.h>
#include <memory>
#include <mutex>
#include <new>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <set>
#include <thread>

#include "face/face_search.h"
#include "face/landmarks.h"
#include "face/task_pool.h"
#include "tests/support.h"

namespace {

// Every hit down to 1.5 below the detector's threshold, many per image, so
// that a feature one bit off would show in some confidence.
constexpr double kLowered = -1.5;

cv::Mat noise(int width, int height) {
  cv::Mat image(height, width, CV_8UC3);
  cv::RNG rng(width * 7919 + height);
  if (!image.empty()) rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  return image;
}

cv::Mat colour_photo(const std::string& name) {
  return cv::imread(test_photo(name).string(), cv::IMREAD_COLOR);
}

cv::Mat scaled(const cv::Mat& photo, double factor) {
  cv::Mat out;
  cv::resize(photo, out, cv::Size(), factor, factor, cv::INTER_LINEAR);
  return out;
}

TEST(FaceSearch, FindsWhatDlibsDetectorFindsToTheBit) {
  const cv::Mat grace = colour_photo("grace_hopper.jpg");
  const cv::Mat large = scaled(grace, 1.9);  // 3 bands on the first level, 2 on the next
  cv::Mat turned;
  cv::rotate(large, turned, cv::ROTATE_90_CLOCKWISE);
  std::vector<std::pair<std::string, cv::Mat>> images = {
      {"grace_hopper", grace},
      {"astronaut", colour_photo("astronaut.png")},
      {"einstein", colour_photo("einstein.jpg")},
      {"grace x1.9", large},
      {"grace x1.9 turned", turned},
      {"grace x0.37", scaled(grace, 0.37)},
      {"noise 1500x700", noise(1500, 700)},
      {"1x1", noise(1, 1)},
      {"7x7", noise(7, 7)},
      {"64x64", noise(64, 64)},
      {"100000x1 strip", noise(100000, 1)},
      {"100000x20 strip", noise(100000, 20)},
      {"1x2000 strip", noise(1, 2000)},
  };
  // Every remainder of the height by the 8-pixel cell, where the last band
  // meets dlib's rounding of the bottom edge.
  for (int rows = 1000; rows < 1008; ++rows) {
    images.emplace_back("grace x1.9 cut to " + std::to_string(rows) + " rows",
                        large.rowRange(0, rows));
  }
  dlib::frontal_face_detector detector = build_face_detector();
  const FaceSearch search(detector);
  for (const auto& [name, image] : images) {
    std::vector<dlib::rect_detection> expected, found;
    std::string expected_error, error;
    try {
      detector(dlib::cv_image<dlib::bgr_pixel>(image), expected, kLowered);
    } catch (const std::exception& e) {
      expected_error = e.what();
    }
    try {
      search_landmark_faces(search, image, found, kLowered);
    } catch (const std::exception& e) {
      error = e.what();
    }
    EXPECT_EQ(error, expected_error) << name;
    ASSERT_EQ(found.size(), expected.size()) << name;
    for (size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].rect, expected[i].rect) << name << " #" << i;
      EXPECT_EQ(found[i].weight_index, expected[i].weight_index) << name << " #" << i;
      EXPECT_EQ(found[i].detection_confidence, expected[i].detection_confidence)
          << name << " #" << i;
    }
    if (name == "grace x1.9") {
      EXPECT_GT(found.size(), 5u) << "too few hits to compare";
    }
  }
}

TEST(TaskGroup, RunsNestedTasksKeepsToFreeCoresAndRethrows) {
  std::atomic<int> ran{0};
  TaskGroup group;
  for (int i = 0; i < 8; ++i) {
    group.spawn([&] {
      ++ran;
      group.spawn([&] { ++ran; });
    });
  }
  group.wait();
  EXPECT_EQ(ran, 16);

  {
    // Workers holding more cores than there are: the waiter runs every task.
    std::vector<std::unique_ptr<CoreClaim>> claims;
    for (int i = 0; i < 1024; ++i) claims.push_back(std::make_unique<CoreClaim>());
    std::mutex lock;
    std::set<std::thread::id> threads;
    TaskGroup alone;
    for (int i = 0; i < 32; ++i) {
      alone.spawn([&] {
        std::lock_guard<std::mutex> hold(lock);
        threads.insert(std::this_thread::get_id());
      });
    }
    alone.wait();
    EXPECT_EQ(threads, std::set<std::thread::id>{std::this_thread::get_id()});
  }

  TaskGroup failing;
  for (int i = 0; i < 4; ++i) failing.spawn([] { throw std::bad_alloc(); });
  EXPECT_THROW(failing.wait(), std::bad_alloc);
}

}  // namespace
