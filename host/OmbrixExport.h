#pragma once

// Symbols of the host SDK are visible across shared objects even when a
// translation unit is compiled with -fvisibility=hidden (as plug-ins are), so
// that type information, vtables and exceptions of host classes are the same
// object in the host and in every plug-in.
#define OMBRIX_SDK_API __attribute__((visibility("default")))
