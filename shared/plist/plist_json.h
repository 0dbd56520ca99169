#pragma once
// Property lists as JSON, for bw2ctl's input and output.

#include "plist/plist_ptr.h"

#include <string>

namespace bw {

// JSON → property list: objects become dictionaries, numbers without fraction or exponent integers and the
// others reals, true/false booleans. null has no property-list form and is refused. Null on error,
// with the reason in `error`.
PlistPtr plistFromJson(const std::string& text, std::string* error);

// Property list → one line of JSON. Integers print signed, reals always with a fraction or exponent,
// data as {"$data": "<base64>"}, dates as {"$date": <seconds since 2001-01-01>}.
std::string plistToJson(plist_t node);

} // namespace bw
