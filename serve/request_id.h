// The X-Request-Id of a request: the client's own, or one made up.
#pragma once

#include <string>

// `given` when it is 1 to 128 visible ASCII characters (no spaces, nothing
// that could break a log line); otherwise 16 random hexadecimal digits.
std::string request_id_from(const std::string& given);
