#include "json.h"

#include <cmath>
#include <cstdio>

namespace velmora::cli {

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void JsonWriter::Start(const char* key) {
  if (!First.empty()) {
    if (!First.back()) Out += ',';
    First.back() = false;
  }
  if (key != nullptr) {
    Out += JsonQuote(key);
    Out += ':';
  }
}

JsonWriter& JsonWriter::BeginObject(const char* key) {
  Start(key);
  Out += '{';
  First.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  Out += '}';
  First.pop_back();
  return *this;
}

JsonWriter& JsonWriter::BeginArray(const char* key) {
  Start(key);
  Out += '[';
  First.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  Out += ']';
  First.pop_back();
  return *this;
}

JsonWriter& JsonWriter::Str(const char* key, const std::string& value) {
  Start(key);
  Out += JsonQuote(value);
  return *this;
}

JsonWriter& JsonWriter::Int(const char* key, std::int64_t value) {
  Start(key);
  Out += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::UInt(const char* key, std::uint64_t value) {
  Start(key);
  Out += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Num(const char* key, double value) {
  Start(key);
  if (!std::isfinite(value)) {
    Out += "null";
  } else {
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", value);
    Out += text;
  }
  return *this;
}

JsonWriter& JsonWriter::Bool(const char* key, bool value) {
  Start(key);
  Out += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null(const char* key) {
  Start(key);
  Out += "null";
  return *this;
}

JsonWriter& JsonWriter::Raw(const char* key, const std::string& json) {
  Start(key);
  Out += json;
  return *this;
}

}  // namespace velmora::cli
