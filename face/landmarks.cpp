#include "face/landmarks.h"

#include <dlib/opencv/cv_image.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <istream>
#include <stdexcept>
#include <streambuf>
#include <vector>

#include "face/detector_data.h"
#include "face/shape_model.h"

namespace {

// Reads bytes that stay in place for the reader's life.
class ByteBuffer : public std::streambuf {
 public:
  ByteBuffer(const unsigned char* bytes, size_t size) {
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(bytes));
    setg(begin, begin, begin + size);
  }
};

// The model file mapped into memory for the decoder; pages it is done with
// are let go as it proceeds, so the whole file is never resident at once.
bool decode_model_file(const std::string& path, dlib::shape_predictor& predictor) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
    ::close(fd);
    return false;
  }
  const size_t size = static_cast<size_t>(info.st_size);
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return false;
  ::madvise(map, size, MADV_SEQUENTIAL);
  unsigned char* bytes = static_cast<unsigned char*>(map);
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  size_t released = 0;
  const auto release = [&](size_t done) {
    const size_t upto = done / page * page;
    ::madvise(bytes + released, upto - released, MADV_DONTNEED);
    released = upto;
  };
  const bool decoded = decode_shape_predictor(bytes, size, predictor, release);
  ::munmap(map, size);
  return decoded;
}

void require_68_parts(const dlib::shape_predictor& predictor, const std::string& origin) {
  if (predictor.num_parts() != static_cast<unsigned long>(kLandmarkCount)) {
    throw std::runtime_error("The shape predictor" + origin + " places " +
                             std::to_string(predictor.num_parts()) +
                             " points per face; 68 are needed.");
  }
}

}  // namespace

void read_shape_predictor(const std::string& path, dlib::shape_predictor& predictor) {
  if (decode_model_file(path, predictor)) return;
  // dlib's own reader for everything the decoder leaves: dlib's predictor, or
  // the error callers know ("Unable to open ...", "An error occurred while
  // trying to read the first object from the file ...").
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
                      AnalysisState& state, LandmarkPass* pass) {
  // Wraps the Mat's pixels without copying: `image` must outlive `pixels`.
  dlib::cv_image<dlib::bgr_pixel> pixels(image);
  std::vector<dlib::rect_detection> detections;
  locator.detector(pixels, detections, 0.0);
  std::vector<dlib::rectangle> faces;
  for (const dlib::rect_detection& d : detections) faces.push_back(d.rect);
  if (pass) {
    pass->faces = static_cast<int>(faces.size());
    if (!faces.empty()) {
      const dlib::rectangle& r = faces.front();
      pass->box = cv::Rect(static_cast<int>(r.left()), static_cast<int>(r.top()),
                           static_cast<int>(r.width()), static_cast<int>(r.height()));
      pass->score = detections.front().detection_confidence;
    }
  }
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
