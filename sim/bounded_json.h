// JSON text from users, read without trusting it: the document may nest arrays and objects only so
// deep (copying, comparing and writing a document recurse once per level), and every way the text
// can be wrong, a number too large for a double included, is a message rather than an exception.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace fcp::sim {

struct BoundedJson {
  nlohmann::json value;  // null when refused
  std::string error;     // empty when parsed
};

// `name` starts every message: "<name>:<line>:<column>: <what>" for text that is no JSON (or holds
// a number out of range, or a NUL byte), "<name>: <JSON pointer>: nested deeper than <max_depth> levels" for the
// first array or object below the allowed depth. The outermost array or object is level 1.
BoundedJson ParseBoundedJson(std::string_view text, const std::string& name, size_t max_depth);

}  // namespace fcp::sim
