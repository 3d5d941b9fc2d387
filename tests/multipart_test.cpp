#include "serve/multipart.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string part(const std::string& disposition, const std::string& bytes) {
  return "--B\r\nContent-Disposition: " + disposition + "\r\n\r\n" + bytes + "\r\n";
}

// Which bytes a form upload yields, or why none: the part named photo
// first, else the first file part; `name=` never matched inside
// `filename=`; malformed bodies refused, not read past their end.
TEST(FormPhoto, TakesThePhotoPartElseTheFirstFileAndRefusesTheRest) {
  const std::string type = "multipart/form-data; boundary=B";
  const struct {
    const char* what;
    std::string content_type;
    std::string body;
    std::string photo;  // "" when refused
    std::string error;  // part of the refusal
  } cases[] = {
      {"photo part after a field", type,
       part("form-data; name=\"note\"", "hi") +
           part("form-data; name=\"photo\"; filename=\"a.jpg\"", "JPEG") + "--B--\r\n",
       "JPEG", ""},
      {"photo part before another file", type,
       part("form-data; name=\"upload\"; filename=\"b.jpg\"", "OTHER") +
           part("form-data; name=photo", "JPEG") + "--B--\r\n",
       "JPEG", ""},
      {"first file part when none is named photo", type,
       part("form-data; name=\"x\"", "hi") +
           part("form-data; name=\"f\"; filename=\"c.png\"", "PNG") +
           part("form-data; name=\"g\"; filename=\"d.png\"", "PNG2") + "--B--\r\n",
       "PNG", ""},
      {"filename=\"photo\" is not the name photo", type,
       part("form-data; filename=\"photo\"; name=\"x\"", "FILE") +
           part("form-data; name=\"photo\"", "REAL") + "--B--\r\n",
       "REAL", ""},
      {"bytes that look like the boundary inside the photo", type,
       part("form-data; name=\"photo\"", "a--B b\r\n-B c") + "--B--\r\n", "a--B b\r\n-B c", ""},
      {"quoted boundary, upper-case header names", "Multipart/Form-Data; boundary=\"B\"",
       "--B\r\nCONTENT-DISPOSITION: form-data; name=\"photo\"\r\n\r\nX\r\n--B--\r\n", "X", ""},
      {"no file at all", type, part("form-data; name=\"x\"", "hi") + "--B--\r\n", "", "no file"},
      {"no boundary", "multipart/form-data", part("form-data; name=\"photo\"", "X"), "",
       "boundary"},
      {"body without its boundary", type, "just bytes", "", "boundary"},
      {"body cut inside a part", type,
       "--B\r\nContent-Disposition: form-data; name=\"photo\"\r\n\r\nXYZ", "", "ends inside"},
      {"empty body", type, "", "", "boundary"},
      {"only the boundary", type, "--B", "", "not well formed"},
  };
  for (const auto& c : cases) {
    std::string photo, error;
    const bool found = form_photo(c.content_type, c.body, photo, error);
    EXPECT_EQ(found, !c.photo.empty()) << c.what << ": " << error;
    EXPECT_EQ(photo, c.photo) << c.what;
    if (!c.error.empty()) {
      EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    }
  }
  EXPECT_TRUE(is_form("multipart/form-data; boundary=x"));
  EXPECT_FALSE(is_form("image/jpeg"));
}

}  // namespace
