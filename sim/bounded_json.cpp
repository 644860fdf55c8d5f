#include "sim/bounded_json.h"

#include <utility>
#include <vector>

namespace fcp::sim {

using nlohmann::json;

namespace {

std::pair<size_t, size_t> LineAndColumn(std::string_view text, size_t byte) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return {line, column};
}

// Builds the document as the library's own parser would (a repeated key keeps its last value), but
// stops at the first container below the allowed depth and keeps the place of every error.
class DepthBoundedBuilder final : public nlohmann::json_sax<json> {
 public:
  explicit DepthBoundedBuilder(size_t max_depth) : max_depth_(max_depth) {}

  json& Document() { return document_; }
  bool TooDeep() const { return !too_deep_at_.empty(); }
  const std::string& TooDeepAt() const { return too_deep_at_; }
  size_t ErrorOffset() const { return error_offset_; }
  const std::string& ErrorWhat() const { return error_what_; }

  bool null() override { return Value(nullptr); }
  bool boolean(bool value) override { return Value(value); }
  bool number_integer(number_integer_t value) override { return Value(value); }
  bool number_unsigned(number_unsigned_t value) override { return Value(value); }
  bool number_float(number_float_t value, const string_t&) override { return Value(value); }
  bool string(string_t& value) override { return Value(std::move(value)); }
  bool binary(binary_t& value) override { return Value(json::binary(std::move(value))); }
  bool start_object(std::size_t) override { return Open(json::object()); }
  bool start_array(std::size_t) override { return Open(json::array()); }
  bool key(string_t& key) override {
    key_ = std::move(key);
    return true;
  }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }

  bool parse_error(std::size_t position, const std::string& token, const nlohmann::detail::exception& error) override {
    // `position` counts the bytes read: the last one is the offending byte, or the last digit of a
    // number too large for a double; then point at the number's first digit.
    error_offset_ = position > 0 ? position - 1 : 0;
    if (error.id == 406 && token.size() <= position) error_offset_ = position - token.size();
    // "[json.exception.parse_error.101] parse error at line 1, column 2: syntax error ..." and
    // "[json.exception.out_of_range.406] number overflow parsing '1e400'": keep what went wrong.
    std::string what = error.what();
    const auto syntax = what.find("syntax error");
    const auto tag_end = what.find("] ");
    if (syntax != std::string::npos) {
      what = what.substr(syntax);
    } else if (tag_end != std::string::npos) {
      what = what.substr(tag_end + 2);
    }
    error_what_ = what;
    return false;
  }

 private:
  // Where the next value goes, as a JSON pointer segment ("" for the document itself).
  std::string NextSegment() const {
    if (open_.empty()) return "";
    const json& parent = *open_.back();
    return "/" + (parent.is_array() ? std::to_string(parent.size()) : key_);
  }

  bool Value(json&& value) {
    Put(std::move(value));
    return true;
  }

  json* Put(json&& value) {
    if (open_.empty()) {
      document_ = std::move(value);
      return &document_;
    }
    json& parent = *open_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    json& slot = parent[key_];
    slot = std::move(value);
    return &slot;
  }

  bool Open(json&& container) {
    const std::string segment = NextSegment();
    if (open_.size() >= max_depth_) {
      std::string pointer;
      for (const std::string& s : path_) pointer += s;
      too_deep_at_ = pointer + segment;
      if (too_deep_at_.empty()) too_deep_at_ = "/";
      return false;
    }
    // An ancestor is not touched while its child is open, so the pointers into it stay valid.
    open_.push_back(Put(std::move(container)));
    path_.push_back(segment);
    return true;
  }

  bool Close() {
    open_.pop_back();
    path_.pop_back();
    return true;
  }

  size_t max_depth_;
  json document_;
  std::vector<json*> open_;        // the open containers, outermost first
  std::vector<std::string> path_;  // the pointer segment of each open container
  std::string key_;
  std::string too_deep_at_;
  size_t error_offset_ = 0;
  std::string error_what_;
};

}  // namespace

BoundedJson ParseBoundedJson(std::string_view text, const std::string& name, size_t max_depth) {
  BoundedJson result;
  // The library's reader takes a NUL byte outside a string for the end of the text and would accept a
  // document with anything after it; JSON text holds no NUL byte anywhere.
  if (const size_t nul = text.find('\0'); nul != std::string_view::npos) {
    const auto [line, column] = LineAndColumn(text, nul);
    result.error = name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": NUL byte in the text";
    return result;
  }
  DepthBoundedBuilder builder(max_depth);
  if (json::sax_parse(text.data(), text.data() + text.size(), &builder)) {
    result.value = std::move(builder.Document());
    return result;
  }
  if (builder.TooDeep()) {
    result.error =
        name + ": " + builder.TooDeepAt() + ": nested deeper than " + std::to_string(max_depth) + " levels";
    return result;
  }
  const auto [line, column] = LineAndColumn(text, builder.ErrorOffset());
  result.error = name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + builder.ErrorWhat();
  return result;
}

}  // namespace fcp::sim
