#pragma once
// Device records to and from JSON: the members of an answer's outermost
// object fill a record; a record becomes the members of a request object.
#include <string>
#include <string_view>

#include "devices/devinfo.h"

namespace vemx::devinfo_json {

// Stores the scalar members of the outermost object of `text` in `record`
// (an array member leaves its last scalar element; nested objects are
// skipped).  False when the text is not one JSON value followed only by
// white space; members read before the error stay.
bool fill_from_json(devinfo::devinfo_t& record, std::string_view text);

// The compact JSON object {"xedaid":nonce, <one member per cell>}.
std::string request_body(const devinfo::devinfo_t& record, std::string_view nonce);

// The record alone as a compact JSON object, members as in request_body.
std::string record_json(const devinfo::devinfo_t& record);

// A fresh "xedaid" value: 8 to 23 random bytes, each ORed with a byte of
// "XEDA", in upper-case hexadecimal.
std::string make_nonce();

}  // namespace vemx::devinfo_json
