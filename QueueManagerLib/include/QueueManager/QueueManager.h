#pragma once

// The whole public interface of the Queue Manager client library, with the
// platform types that it uses.

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Export.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/DateTime.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/IdString.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/MessageServer.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/Platform/RefCount.h"
#include "QueueManager/Platform/Resources.h"
#include "QueueManager/Platform/ScriptedServer.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Text.h"
#include "QueueManager/Platform/Thread.h"
#include "QueueManager/Platform/Trace.h"
#include "QueueManager/QueueStats.h"
