#include "host/Extension.h"

namespace ombrix {

// Out of line so that the class's vtable and type information live in the SDK
// and every plug-in refers to the same ones.
Extension::~Extension() = default;

} // namespace ombrix
