#pragma once

#include <string>

#include "host/NodeFactory.h"

namespace ombrix::extensions::sherpa {

// Node factory of the library. Its constructor registers exactly one type,
// "Sherpa.TTS" (SherpaTTSNode), with the NodeFactory base, which keeps the
// registration; the factory has no state of its own. The speech-to-text node
// is not registered. Nodes it creates are owned by the caller and do not
// depend on the factory's lifetime.
class SherpaNodeFactory : public NodeFactory {
public:
    // Builds the type description and registers it with the creation
    // function. Allocates; exceptions of either step leave the constructor.
    SherpaNodeFactory();
    ~SherpaNodeFactory() override;

    // "Sherpa", the namespace of the registered type.
    std::string getNodeTypePrefix() override;
};

} // namespace ombrix::extensions::sherpa
