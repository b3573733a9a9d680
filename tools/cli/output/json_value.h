// The JSON the commands print (--json, side files, the HDF5 settings
// text), built without nlohmann/json: every file that instantiates its
// value type takes seconds longer to compile, and the commands only build
// values and print them. json.cpp turns a JsonValue into nlohmann's type to
// print it, so the text is what nlohmann writes.
//
// The braces read as nlohmann's do: a list whose every item is a
// two-item list starting with text is an object, any other list an array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora::cli {

class JsonValue {
 public:
  enum class Kind : unsigned char { Null, Boolean, Signed, Unsigned, Real, Text, Array, Object };

  JsonValue() = default;
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : K(Kind::Boolean), B(b) {}
  template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  JsonValue(T v) : K(std::is_signed_v<T> ? Kind::Signed : Kind::Unsigned) {
    if constexpr (std::is_signed_v<T>)
      I = v;
    else
      U = v;
  }
  template <typename T, std::enable_if_t<std::is_floating_point_v<T>, int> = 0>
  JsonValue(T v) : K(Kind::Real), D(static_cast<double>(v)) {}
  JsonValue(const char* text) : K(Kind::Text), S(text) {}
  JsonValue(std::string text) : K(Kind::Text), S(std::move(text)) {}
  JsonValue(std::string_view text) : K(Kind::Text), S(text) {}
  template <typename T>
  JsonValue(const std::vector<T>& items) : K(Kind::Array), Items(items.begin(), items.end()) {}
  JsonValue(std::initializer_list<JsonValue> items);

  static JsonValue array() { return Made(Kind::Array); }
  static JsonValue object() { return Made(Kind::Object); }

  // An array's next item; a null value becomes an array first.
  void push_back(JsonValue item);
  // An object's member, added at the end when new; a null value becomes an
  // object first.
  JsonValue& operator[](const std::string& key);

  Kind kind() const { return K; }
  bool boolean() const { return B; }
  std::int64_t signed_number() const { return I; }
  std::uint64_t unsigned_number() const { return U; }
  double real() const { return D; }
  const std::string& text() const { return S; }
  const std::vector<JsonValue>& items() const { return Items; }  // an array's, or an object's values
  const std::vector<std::string>& keys() const { return Keys; }   // an object's, in order

 private:
  static JsonValue Made(Kind k) {
    JsonValue v;
    v.K = k;
    return v;
  }
  bool IsMember() const { return K == Kind::Array && Items.size() == 2 && Items[0].K == Kind::Text; }

  Kind K = Kind::Null;
  bool B = false;
  std::int64_t I = 0;
  std::uint64_t U = 0;
  double D = 0;
  std::string S;
  std::vector<JsonValue> Items;
  std::vector<std::string> Keys;
};

// One line (indent < 0) or indented by `indent` spaces; bytes that are not
// UTF-8 are replaced rather than thrown at.
std::string JsonText(const JsonValue& value, int indent = -1);
void PrintJson(std::FILE* out, const JsonValue& value);

}  // namespace velmora::cli
