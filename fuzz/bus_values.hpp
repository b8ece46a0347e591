#pragma once

// D-Bus values of any type, made from fuzzed bytes: what a confused or hostile peer can put
// into a message where the agent expects something else.

#include <fuzzer/FuzzedDataProvider.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>

namespace trovik::fuzz {

// A complete type, nested at most `depth` containers deep.
inline std::string anyType(FuzzedDataProvider& in, int depth = 2) {
  constexpr const char* kBasic = "ybnqiuxtdsog";
  const int pick = in.ConsumeIntegralInRange(0, depth > 0 ? 15 : 11);
  if (pick < 12) return std::string(1, kBasic[pick]);
  if (pick == 12) return "v";
  if (pick == 13) return "a" + anyType(in, depth - 1);
  if (pick == 14)
    return "a{" + std::string(1, kBasic[in.ConsumeIntegralInRange(0, 9)]) + anyType(in, depth - 1) +
           "}";
  std::string fields;
  for (int n = in.ConsumeIntegralInRange(1, 3); n > 0; --n) fields += anyType(in, depth - 1);
  return "(" + fields + ")";
}

// The end of the complete type that starts at `type`.
inline const char* typeEnd(const char* type) {
  if (*type == 'a') return typeEnd(type + 1);
  if (*type != '(' && *type != '{') return type + 1;
  const char* p = type + 1;
  while (*p != ')' && *p != '}') p = typeEnd(p);
  return p + 1;
}

// A member name the bus lets through: it drops the connection of a peer that sends another.
inline bool isMemberName(const std::string& name) {
  const auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  return !name.empty() && name.size() <= 255 &&
         !std::isdigit(static_cast<unsigned char>(name[0])) &&
         std::all_of(name.begin(), name.end(), word);
}

inline std::string someText(FuzzedDataProvider& in) {
  return in.ConsumeRandomLengthString(64);
}

// Appends one value of the complete type at `type`, variants in it holding at most `variants`
// more, as the bus allows only so deep a value; what sd-bus returned.
inline int appendAny(sd_bus_message* m, FuzzedDataProvider& in, const char* type,
                     int variants = 3) {
  const std::string whole(type, typeEnd(type));
  switch (*type) {
    case 'v': {
      const std::string inner = variants > 0 ? anyType(in, 1) : "s";
      int r = sd_bus_message_open_container(m, 'v', inner.c_str());
      if (r >= 0) r = appendAny(m, in, inner.c_str(), variants - 1);
      return r < 0 ? r : sd_bus_message_close_container(m);
    }
    case 'a': {
      const std::string element = whole.substr(1);
      int r = sd_bus_message_open_container(m, 'a', element.c_str());
      for (int n = in.ConsumeIntegralInRange(0, 4); n > 0 && r >= 0; --n) {
        r = appendAny(m, in, element.c_str(), variants);
      }
      return r < 0 ? r : sd_bus_message_close_container(m);
    }
    case '(':
    case '{': {
      const std::string fields = whole.substr(1, whole.size() - 2);
      int r = sd_bus_message_open_container(m, *type == '(' ? 'r' : 'e', fields.c_str());
      for (const char* p = fields.c_str(); *p && r >= 0; p = typeEnd(p)) {
        r = appendAny(m, in, p, variants);
      }
      return r < 0 ? r : sd_bus_message_close_container(m);
    }
    case 's':
      return sd_bus_message_append_basic(m, 's', someText(in).c_str());
    case 'o':
      return sd_bus_message_append_basic(m, 'o', in.ConsumeBool() ? "/" : "/MenuBar");
    case 'g':
      return sd_bus_message_append_basic(m, 'g', anyType(in, 1).c_str());
    case 'd': {
      const double number = in.ConsumeFloatingPoint<double>();
      return sd_bus_message_append_basic(m, 'd', &number);
    }
    default: {  // the integers and booleans: eight bytes suffice for any
      const std::uint64_t number = in.ConsumeIntegral<std::uint64_t>();
      return sd_bus_message_append_basic(m, *type, &number);
    }
  }
}

}  // namespace trovik::fuzz
