#pragma once

// Everything a plug-in or host application needs from the Ombrix SDK.
#include "AudioBuffer.h"
#include "AudioBus.h"
#include "AudioGraphResampler.h"
#include "AudioRingBuffer.h"
#include "EventEmitter.h"
#include "Extension.h"
#include "ExtensionManager.h"
#include "Logger.h"
#include "Node.h"
#include "NodeFactory.h"
#include "NodeTypeInfo.h"
#include "OXAny.h"
#include "OmbrixObject.h"
#include "Result.h"
