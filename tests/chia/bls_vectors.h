#pragma once
// Readers for the published hash-to-curve vector files and hex helpers for the BLS tests.

#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

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

inline std::vector<uint8_t> FromHex(std::string hex) {
  if (hex.rfind("0x", 0) == 0) hex = hex.substr(2);
  if (hex.size() % 2) hex = "0" + hex;
  std::vector<uint8_t> out(hex.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) out[i] = std::stoi(hex.substr(2 * i, 2), nullptr, 16);
  return out;
}

// A field element written as 0x-hex, left-padded to 48 big-endian bytes.
inline std::vector<uint8_t> FieldBytes(const std::string& hex) {
  std::vector<uint8_t> raw = FromHex(hex);
  if (raw.size() > 48) throw std::runtime_error("field element too long: " + hex);
  std::vector<uint8_t> out(48 - raw.size(), 0);
  out.insert(out.end(), raw.begin(), raw.end());
  return out;
}

inline std::string ToHex(const uint8_t* data, size_t size) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

template <typename Bytes>
std::string ToHex(const Bytes& bytes) {
  return ToHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

inline std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace blstest
