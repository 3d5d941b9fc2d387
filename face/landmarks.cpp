#include "face/landmarks.h"

#include <dlib/opencv/cv_image.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

// A read-only mapping of a whole file, unmapped however its reader ends.
struct Mapping {
  void* bytes = MAP_FAILED;
  size_t size = 0;
  ~Mapping() {
    if (bytes != MAP_FAILED) ::munmap(bytes, size);
  }
};

// The model file mapped into memory for the decoder; pages it is done with
// are let go as it proceeds, so the whole file is never resident at once.
bool decode_model_file(const std::string& path, dlib::shape_predictor& predictor,
                       const std::atomic<bool>* abandon) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
    ::close(fd);
    return false;
  }
  Mapping map;
  map.size = static_cast<size_t>(info.st_size);
  map.bytes = ::mmap(nullptr, map.size, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (map.bytes == MAP_FAILED) return false;
  ::madvise(map.bytes, map.size, MADV_SEQUENTIAL);
  unsigned char* bytes = static_cast<unsigned char*>(map.bytes);
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  size_t released = 0;
  const auto release = [&](size_t done) {
    if (abandon && *abandon) throw std::runtime_error("The shape predictor's read was abandoned.");
    const size_t upto = done / page * page;
    ::madvise(bytes + released, upto - released, MADV_DONTNEED);
    released = upto;
  };
  return decode_shape_predictor(bytes, map.size, predictor, release);
}

void require_68_parts(const dlib::shape_predictor& predictor, const std::string& origin) {
  if (predictor.num_parts() != static_cast<unsigned long>(kLandmarkCount)) {
    throw std::runtime_error("The shape predictor" + origin + " places " +
                             std::to_string(predictor.num_parts()) +
                             " points per face; 68 are needed.");
  }
}

}  // namespace

void read_shape_predictor(const std::string& path, dlib::shape_predictor& predictor,
                          const std::atomic<bool>* abandon) {
  if (decode_model_file(path, predictor, abandon)) return;
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

std::shared_ptr<const dlib::shape_predictor> read_landmark_model(
    const std::string& path, const std::atomic<bool>* abandon) {
  auto model = std::make_shared<dlib::shape_predictor>();
  read_shape_predictor(path, *model, abandon);
  require_68_parts(*model, " in " + path);
  return model;
}

LandmarkLocator::LandmarkLocator(const std::string& model_path)
    : detector(build_face_detector()),
      search(std::make_shared<FaceSearch>(detector)),
      predictor(read_landmark_model(model_path)) {}

LandmarkLocator::LandmarkLocator(dlib::frontal_face_detector detector,
                                 std::shared_ptr<const dlib::shape_predictor> predictor)
    : detector(std::move(detector)),
      search(std::make_shared<FaceSearch>(this->detector)),
      predictor(std::move(predictor)) {
  require_68_parts(*this->predictor, "");
}

bool serial_face_search() {
  static const bool serial = [] {
    const char* value = std::getenv("FACEPROBE_SERIAL_SEARCH");
    return value && *value && std::string(value) != "0";
  }();
  return serial;
}

std::vector<dlib::rect_detection> find_landmark_faces(const cv::Mat& image,
                                                      dlib::frontal_face_detector& detector,
                                                      const FaceSearch& search) {
  // dlib's check of the pixel type comes first, whichever search runs.
  const dlib::cv_image<dlib::bgr_pixel> pixels(image);
  std::vector<dlib::rect_detection> detections;
  if (serial_face_search()) {
    detector(pixels, detections, 0.0);
  } else {
    search_landmark_faces(search, image, detections);
  }
  return detections;
}

bool place_face_landmarks(const cv::Mat& image,
                          const std::vector<dlib::rect_detection>& detections,
                          const dlib::shape_predictor& predictor, AnalysisState& state,
                          LandmarkPass* pass) {
  if (pass) {
    pass->faces = static_cast<int>(detections.size());
    if (!detections.empty()) {
      const dlib::rectangle& r = detections.front().rect;
      pass->box = cv::Rect(static_cast<int>(r.left()), static_cast<int>(r.top()),
                           static_cast<int>(r.width()), static_cast<int>(r.height()));
      pass->score = detections.front().detection_confidence;
    }
  }
  if (detections.empty()) {
    for (int i = 0; i < state.landmark_count; ++i) state.landmarks[i] = {};
    return false;
  }
  // Only the strongest detection, the first, is used: the others are not
  // worth placing landmarks on. The wrapper shares the Mat's pixels.
  const dlib::full_object_detection shape =
      predictor(dlib::cv_image<dlib::bgr_pixel>(image), detections.front().rect);
  for (int i = 0; i < state.landmark_count; ++i) {
    state.landmarks[i].x = static_cast<int32_t>(shape.part(i).x());
    state.landmarks[i].y = static_cast<int32_t>(shape.part(i).y());
  }
  return true;
}

bool locate_landmarks(const cv::Mat& image, LandmarkLocator& locator,
                      AnalysisState& state, LandmarkPass* pass) {
  return place_face_landmarks(image,
                              find_landmark_faces(image, locator.detector, *locator.search),
                              *locator.predictor, state, pass);
}
