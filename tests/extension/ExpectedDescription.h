#pragma once

#include <string>

#include "host/NodeTypeInfo.h"
#include "host/OXAny.h"

namespace ombrix::testing {

// The "Sherpa.TTS" type description as the host must see it, written out
// from literal strings (not from the library's vocabulary), so that a wrong
// constant or a wrong entry in the library shows up as a difference. Uses
// host headers only: the host-side probe program compiles it too.
NodeTypeInfo expectedTTSNodeTypeInfo();

// Readable, deterministic rendering (maps in key order, value kinds shown)
// for comparisons across processes and for failure messages.
std::string toText(const OXAny& value, int indent = 0);
std::string toText(const OXAnyMap& map, int indent = 0);
std::string toText(const NodeTypeInfo& info);

} // namespace ombrix::testing
