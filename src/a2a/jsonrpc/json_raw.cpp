// A small scanner over one JSON object's members. nlohmann validates the document first; the
// scanner then only has to find value boundaries, never to judge validity.
#include "a2a/jsonrpc/json_raw.h"

#include <nlohmann/json.hpp>

#include "base/text.h"

namespace tessik {
namespace {

class MemberScanner {
 public:
  explicit MemberScanner(std::string_view text) : text_(text) {}

  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool consume(char c) {
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  // The decoded key; the document is known to be valid, so escapes are well formed.
  std::string read_key() {
    skip_space();
    const std::size_t start = pos_;
    skip_string();
    return nlohmann::json::parse(text_.substr(start, pos_ - start)).get<std::string>();
  }
  std::string_view read_value() {
    skip_space();
    const std::size_t start = pos_;
    skip_value();
    return text_.substr(start, pos_ - start);
  }

 private:
  void skip_string() {
    ++pos_;  // opening quote
    while (pos_ < text_.size() && text_[pos_] != '"')
      pos_ += text_[pos_] == '\\' ? 2 : 1;
    ++pos_;  // closing quote
  }
  void skip_value() {
    if (pos_ >= text_.size()) return;
    const char c = text_[pos_];
    if (c == '"') return skip_string();
    if (c == '{' || c == '[') {
      int depth = 0;
      do {
        if (text_[pos_] == '"') {
          skip_string();
          continue;
        }
        if (text_[pos_] == '{' || text_[pos_] == '[') ++depth;
        if (text_[pos_] == '}' || text_[pos_] == ']') --depth;
        ++pos_;
      } while (depth > 0 && pos_ < text_.size());
      return;
    }
    while (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '}' && text_[pos_] != ']' &&
           text_[pos_] != ' ' && text_[pos_] != '\t' && text_[pos_] != '\n' &&
           text_[pos_] != '\r') {
      ++pos_;
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::optional<std::string> raw_json_member(std::string_view document, std::string_view name) {
  if (!nlohmann::json::accept(document)) return std::nullopt;
  MemberScanner scanner(document);
  if (!scanner.consume('{')) return std::nullopt;
  std::optional<std::string> found;
  if (scanner.consume('}')) return found;
  do {
    const std::string key = scanner.read_key();
    if (!scanner.consume(':')) return std::nullopt;
    const std::string_view value = scanner.read_value();
    if (key == name) found = std::string(value);
  } while (scanner.consume(','));
  return found;
}

std::optional<std::vector<std::string>> raw_json_array_elements(std::string_view document) {
  if (!nlohmann::json::accept(document)) return std::nullopt;
  MemberScanner scanner(document);
  if (!scanner.consume('[')) return std::nullopt;
  std::vector<std::string> elements;
  if (scanner.consume(']')) return elements;
  do {
    elements.emplace_back(scanner.read_value());
  } while (scanner.consume(','));
  return elements;
}

std::string json_rpc_id(std::string_view body) {
  const std::optional<std::string> id = raw_json_member(body, "id");
  if (!id) return "null";
  std::string trimmed = trim(*id);
  return trimmed.empty() ? "null" : trimmed;
}

}  // namespace tessik
