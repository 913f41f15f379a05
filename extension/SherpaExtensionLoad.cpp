// Load-time registration. This unit is linked into libOmbrixSherpa.so only
// (not into the static core that tests and tools link), so that loading the
// plug-in registers exactly one extension without any call from the host,
// while programs that link the core register nothing at start-up.

#include "extension/SherpaExtension.h"

namespace {

// Its construction, during the library's dynamic initialisation, is the one
// registration per load. The description vocabulary is constexpr, so a host
// that asks for a node factory from inside registerExtension (before the
// library's other units are initialised) still gets the complete description.
struct LoadTimeRegistration {
    LoadTimeRegistration() { ombrix::extensions::sherpa::SherpaExtension::load(); }
};

[[maybe_unused]] const LoadTimeRegistration loadTimeRegistration;

} // namespace

// C-linkage markers with empty bodies, kept hidden. Nothing calls them: the
// registration above is done without any call from the host.
extern "C" {

__attribute__((visibility("hidden"))) void ox_extension_load()
{
}

__attribute__((visibility("hidden"))) void ox_extension_anchor_OmbrixSherpa()
{
}
}
