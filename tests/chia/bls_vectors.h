#pragma once
// Readers for the published vector files of the BLS tests.

#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/chia/bls_test_support.h"

namespace blstest {

// A JSON value; numbers, booleans and null keep their source text.
struct Json {
  enum class Kind { kObject, kArray, kString, kLiteral } kind = Kind::kLiteral;
  std::string text;
  std::map<std::string, Json> members;
  std::vector<Json> items;

  const Json& operator[](const std::string& key) const {
    auto it = members.find(key);
    if (kind != Kind::kObject || it == members.end()) throw std::runtime_error("no key " + key);
    return it->second;
  }
};

class JsonParser {
 public:
  explicit JsonParser(std::string text) : s_(std::move(text)) {}

  Json Parse() {
    Json v = Value();
    Skip();
    if (pos_ != s_.size()) Fail();
    return v;
  }

 private:
  void Fail() const { throw std::runtime_error("bad JSON at " + std::to_string(pos_)); }
  void Skip() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  char Peek() {
    Skip();
    if (pos_ >= s_.size()) Fail();
    return s_[pos_];
  }
  void Expect(char c) {
    if (Peek() != c) Fail();
    ++pos_;
  }
  std::string String() {
    Expect('"');
    std::string out;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      if (s_[pos_] == '\\') {
        ++pos_;
        if (pos_ >= s_.size() || s_[pos_] == 'u') Fail();  // the vector files need no \u escapes
        const char c = s_[pos_];
        out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
      } else {
        out += s_[pos_];
      }
      ++pos_;
    }
    Expect('"');
    return out;
  }
  Json Value() {
    Json v;
    const char c = Peek();
    if (c == '{') {
      v.kind = Json::Kind::kObject;
      ++pos_;
      if (Peek() == '}') return ++pos_, v;
      for (;;) {
        std::string key = String();
        Expect(':');
        v.members[key] = Value();
        if (Peek() == ',') {
          ++pos_;
          continue;
        }
        Expect('}');
        return v;
      }
    }
    if (c == '[') {
      v.kind = Json::Kind::kArray;
      ++pos_;
      if (Peek() == ']') return ++pos_, v;
      for (;;) {
        v.items.push_back(Value());
        if (Peek() == ',') {
          ++pos_;
          continue;
        }
        Expect(']');
        return v;
      }
    }
    if (c == '"') {
      v.kind = Json::Kind::kString;
      v.text = String();
      return v;
    }
    const size_t start = pos_;
    while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) ||
                                s_[pos_] == '-' || s_[pos_] == '.' || s_[pos_] == '+'))
      ++pos_;
    if (start == pos_) Fail();
    v.text = s_.substr(start, pos_ - start);
    return v;
  }

  std::string s_;
  size_t pos_ = 0;
};

inline Json LoadVectorFile(const std::string& name) {
  const std::string path = std::string(VARNOK_VECTORS_DIR) + "/" + name;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return JsonParser(buffer.str()).Parse();
}

inline std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace blstest
