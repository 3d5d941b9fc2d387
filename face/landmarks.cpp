#include "face/landmarks.h"

#include <dlib/opencv/cv_image.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <stdexcept>
#include <streambuf>
#include <vector>

#include "face/detector_data.h"

namespace {

// Reads bytes that stay in place for the reader's life.
class ByteBuffer : public std::streambuf {
 public:
  ByteBuffer(const unsigned char* bytes, size_t size) {
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(bytes));
    setg(begin, begin, begin + size);
  }
};

// dlib reads the 95 MB model in millions of reads of a few bytes each; this
// plain buffer over the file descriptor serves them about a third faster
// than std::filebuf does.
class ModelFileBuffer : public std::streambuf {
 public:
  explicit ModelFileBuffer(int fd) : fd_(fd), buffer_(1 << 16) {}
  ~ModelFileBuffer() override { ::close(fd_); }
  ModelFileBuffer(const ModelFileBuffer&) = delete;
  ModelFileBuffer& operator=(const ModelFileBuffer&) = delete;

 protected:
  int_type underflow() override {
    ssize_t n;
    do {
      n = ::read(fd_, buffer_.data(), buffer_.size());
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return traits_type::eof();
    setg(buffer_.data(), buffer_.data(), buffer_.data() + n);
    return traits_type::to_int_type(buffer_[0]);
  }

 private:
  int fd_;
  std::vector<char> buffer_;
};

void require_68_parts(const dlib::shape_predictor& predictor, const std::string& origin) {
  if (predictor.num_parts() != static_cast<unsigned long>(kLandmarkCount)) {
    throw std::runtime_error("The shape predictor" + origin + " places " +
                             std::to_string(predictor.num_parts()) +
                             " points per face; 68 are needed.");
  }
}

}  // namespace

void read_shape_predictor(const std::string& path, dlib::shape_predictor& predictor) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ModelFileBuffer buffer(fd);
    std::istream in(&buffer);
    try {
      dlib::deserialize(predictor, in);
      return;
    } catch (const dlib::serialization_error&) {
      // Read again below, for dlib's whole message that names the file.
    }
  }
  // dlib's own file reader: the error callers know ("Unable to open ...",
  // "An error occurred while trying to read the first object from the file").
  dlib::deserialize(path) >> predictor;
}

dlib::frontal_face_detector build_face_detector() {
  ByteBuffer buffer(kFrontalFaceDetectorData, kFrontalFaceDetectorSize);
  std::istream in(&buffer);
  dlib::frontal_face_detector detector;
  dlib::deserialize(detector, in);
  return detector;
}

LandmarkLocator::LandmarkLocator(const std::string& model_path)
    : detector(build_face_detector()) {
  auto model = std::make_shared<dlib::shape_predictor>();
  read_shape_predictor(model_path, *model);
  require_68_parts(*model, " in " + model_path);
  predictor = std::move(model);
}

LandmarkLocator::LandmarkLocator(dlib::frontal_face_detector detector,
                                 std::shared_ptr<const dlib::shape_predictor> predictor)
    : detector(std::move(detector)), predictor(std::move(predictor)) {
  require_68_parts(*this->predictor, "");
}

bool locate_landmarks(const cv::Mat& image, LandmarkLocator& locator,
                      AnalysisState& state) {
  // Wraps the Mat's pixels without copying: `image` must outlive `pixels`.
  dlib::cv_image<dlib::bgr_pixel> pixels(image);
  const std::vector<dlib::rectangle> faces = locator.detector(pixels, 0.0);
  if (faces.empty()) {
    for (int i = 0; i < state.landmark_count; ++i) state.landmarks[i] = {};
    return false;
  }
  // Only the strongest detection, the first, is used: the others are not
  // worth placing landmarks on.
  const dlib::full_object_detection shape = (*locator.predictor)(pixels, faces.front());
  for (int i = 0; i < state.landmark_count; ++i) {
    state.landmarks[i].x = static_cast<int32_t>(shape.part(i).x());
    state.landmarks[i].y = static_cast<int32_t>(shape.part(i).y());
  }
  return true;
}
