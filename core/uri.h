#pragma once
// Percent-encoding of paths for URLs, shared by the item URLs of the
// listing and the links of the phone page.

#include <string>

namespace tovaly {

// Every byte outside RFC 3986's unreserved set, except "/", as %XX.
std::string PercentEncodePath(const std::string& path);

}  // namespace tovaly
