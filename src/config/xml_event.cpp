#include "config/xml_event.h"

#include <tinyxml.h>

#include <cstring>

#include "config/xml_file.h"
#include "log/log.h"

namespace dv {

int32_t RaiseXmlEvent(const TiXmlNode& node, uint32_t eventType) {
  const std::string text = PrintXml(node, /*indented=*/false);

  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_EVENT_VERSION;
  in.len = static_cast<uint32_t>(text.size());
  in.data = const_cast<char*>(text.data());
  in.providerID = DV_CORE_ID;
  in.eventType = eventType;
  in.flags = DV_FLAG_VIDEO | DV_FLAG_XML;
  _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, DV_RESULT_REFUSED};
  const EventSink sink = CoreSink();
  if (sink != nullptr) sink(&in, &out);
  return out.result;
}

}  // namespace dv
