// The photo in a multipart/form-data upload, as a browser form or
// `curl -F photo=@face.jpg` sends it.
#pragma once

#include <string>

// True when `content_type` names a multipart/form-data body.
bool is_form(const std::string& content_type);

// The bytes of the part named "photo", else of the first part that carries a
// file name. False, with why in `error`, when the body is not a well-formed
// form or holds no such part.
bool form_photo(const std::string& content_type, const std::string& body, std::string& photo,
                std::string& error);
