// Writes a small shape predictor in dlib's serialisation, the seed of the
// shape-model fuzzer: 3 parts, 2 cascades of 2 trees of depth 1.
// Usage: make_shape_model_seed OUT
#include <dlib/image_processing/shape_predictor.h>

#include <iostream>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_shape_model_seed OUT\n";
    return 2;
  }
  dlib::matrix<float, 0, 1> shape(6);
  shape = 0.25f, -0.5f, 0.75f, 0.125f, -1e-3f, 40.0f;
  std::vector<std::vector<dlib::impl::regression_tree>> forests(2);
  std::vector<std::vector<dlib::vector<float, 2>>> pixels(2);
  for (size_t c = 0; c < forests.size(); ++c) {
    forests[c].resize(2);
    for (auto& tree : forests[c]) {
      tree.splits = {{c, 1 - c, -2.5f}};
      tree.leaf_values = {shape * 0.5f, shape * -0.25f};
    }
    pixels[c] = {{0.1f, -0.2f}, {1.5f, 0.0f}};
  }
  dlib::serialize(argv[1]) << dlib::shape_predictor(shape, forests, pixels);
  return 0;
}
