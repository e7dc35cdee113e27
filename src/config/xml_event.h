// RaiseXmlEvent: prints an XML node compactly and raises the text as an
// event of the core (providerID 0x80000000, flags 0x1000010) into the
// core's sink (log/log.h), the event entry. The length excludes a
// terminating NUL. The entry copies the text if it queues it, so the
// printed text is freed on return. Without a sink nothing is raised and the
// result is 1.
//
// Any thread that holds none of the core's locks may call it.
#pragma once

#include <cstdint>

class TiXmlNode;

namespace dv {

// Returns the entry's result for the event.
int32_t RaiseXmlEvent(const TiXmlNode& node, uint32_t eventType);

}  // namespace dv
