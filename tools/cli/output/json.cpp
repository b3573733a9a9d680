#include "output/json.h"

#include <algorithm>

namespace velmora::cli {

JsonValue::JsonValue(std::initializer_list<JsonValue> items) {
  const bool object = std::all_of(items.begin(), items.end(), [](const JsonValue& v) { return v.IsMember(); });
  K = object ? Kind::Object : Kind::Array;
  for (const JsonValue& item : items) {
    if (!object) {
      Items.push_back(item);
    } else if (std::find(Keys.begin(), Keys.end(), item.Items[0].S) == Keys.end()) {
      Keys.push_back(item.Items[0].S);  // as nlohmann builds it, the first of a repeated key stays
      Items.push_back(item.Items[1]);
    }
  }
}

void JsonValue::push_back(JsonValue item) {
  if (K == Kind::Null) K = Kind::Array;
  Items.push_back(std::move(item));
}

JsonValue& JsonValue::operator[](const std::string& key) {
  if (K == Kind::Null) K = Kind::Object;
  const auto at = std::find(Keys.begin(), Keys.end(), key);
  if (at != Keys.end()) return Items[static_cast<std::size_t>(at - Keys.begin())];
  Keys.push_back(key);
  Items.emplace_back();
  return Items.back();
}

Json ToNlohmann(const JsonValue& v) {
  switch (v.kind()) {
    case JsonValue::Kind::Null: return nullptr;
    case JsonValue::Kind::Boolean: return v.boolean();
    case JsonValue::Kind::Signed: return v.signed_number();
    case JsonValue::Kind::Unsigned: return v.unsigned_number();
    case JsonValue::Kind::Real: return v.real();
    case JsonValue::Kind::Text: return v.text();
    case JsonValue::Kind::Array: {
      Json a = Json::array();
      for (const JsonValue& item : v.items()) a.push_back(ToNlohmann(item));
      return a;
    }
    case JsonValue::Kind::Object: break;
  }
  Json o = Json::object();
  for (std::size_t i = 0; i < v.keys().size(); ++i) o[v.keys()[i]] = ToNlohmann(v.items()[i]);
  return o;
}

std::string JsonText(const JsonValue& value, int indent) {
  return ToNlohmann(value).dump(indent, ' ', false, Json::error_handler_t::replace);
}

void PrintJson(std::FILE* out, const JsonValue& value) { std::fprintf(out, "%s\n", JsonText(value).c_str()); }

}  // namespace velmora::cli
