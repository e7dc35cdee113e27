#include "config/xml_event.h"

#include <tinyxml.h>

#include "config/xml_file.h"
#include "log/log.h"
#include "plugin_api/helpers.h"

namespace dv {

int32_t RaiseXmlEvent(const TiXmlNode& node, uint32_t eventType) {
  const std::string text = PrintXml(node, /*indented=*/false);

  _EventParmsIn in;
  dv_event_init(&in, DV_CORE_ID, eventType, DV_FLAG_VIDEO | DV_FLAG_XML);
  dv_event_payload(&in, text.data(), static_cast<uint32_t>(text.size()));
  return dv_raise(CoreSink(), &in);  // refused when no sink is installed
}

}  // namespace dv
