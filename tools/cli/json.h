// A small JSON writer for --json output: one object per run, on one line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::cli {

class JsonWriter {
 public:
  // A null key adds an element to the enclosing array.
  JsonWriter& BeginObject(const char* key = nullptr);
  JsonWriter& EndObject();
  JsonWriter& BeginArray(const char* key = nullptr);
  JsonWriter& EndArray();
  JsonWriter& Str(const char* key, const std::string& value);
  JsonWriter& Int(const char* key, std::int64_t value);
  JsonWriter& UInt(const char* key, std::uint64_t value);
  JsonWriter& Num(const char* key, double value);  // non-finite values become null
  JsonWriter& Bool(const char* key, bool value);
  JsonWriter& Null(const char* key);
  // A value that is already JSON, such as another writer's Text().
  JsonWriter& Raw(const char* key, const std::string& json);

  const std::string& Text() const { return Out; }

 private:
  void Start(const char* key);
  std::string Out;
  std::vector<bool> First;  // per open level: nothing written yet
};

std::string JsonQuote(const std::string& text);

}  // namespace velmora::cli
