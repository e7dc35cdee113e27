#include "events/xml_event.h"

#include <tinyxml.h>

#include <cstring>

#include "config/xml_file.h"
#include "events/callback.h"
#include "log/levels.h"

namespace dv {

int32_t RaiseXmlEvent(const TiXmlNode& node, uint32_t eventType) {
  const std::string text = PrintXml(node, /*indented=*/false);

  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = DV_EVENT_VERSION;
  in.len = static_cast<uint32_t>(text.size());
  in.data = const_cast<char*>(text.data());
  in.providerID = kCoreId;
  in.eventType = eventType;
  in.flags = DV_FLAG_VIDEO | DV_FLAG_XML;
  _EventParmsOut out = {sizeof out, DV_EVENT_VERSION, 0};
  PluginEventCallback(&in, &out);
  return out.result;
}

}  // namespace dv
